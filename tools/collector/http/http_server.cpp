// The evhttp glue: one event base and one thread serve every connection; the Router decides
// every answer. The base is set up here before the thread starts and torn down after it is
// joined, so only that thread ever touches it while it runs (libevent's locking stays off).
// libevent 2.1 has no bound on connections and sends its own error pages (for oversized
// headers, say) without our headers: both are added here through the bufferevent that evhttp
// lets us create for each connection.
#include "tools/collector/http/http_server.h"

#include <errno.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>
#include <event2/listener.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "tools/collector/http/listen_socket.h"
#include "tools/collector/http/router.h"

namespace veska {
namespace http {
namespace {

// Request line and headers together; longer ones get libevent's own 413 and a closed
// connection. Leaves room above kMaxTargetBytes so that a target just over it gets the 414.
constexpr ev_ssize_t kMaxHeadersBytes = 32 * 1024;
// A read-only server takes no request bodies.
constexpr ev_ssize_t kMaxBodyBytes = 0;
// After accept fails for want of descriptors, the listener rests this long instead of
// spinning on a socket that stays readable.
constexpr long kAcceptPauseMicroseconds = 100 * 1000;

// Sent, best effort, to a connection beyond the cap before it is closed.
const char kTooManyConnections[] =
    "HTTP/1.1 503 Service Unavailable\r\n"
    "Content-Type: application/json; charset=utf-8\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Connection: close\r\n"
    "Content-Length: 67\r\n\r\n"
    "{\"error\":\"too many connections to this collector; try again later\"}\n";
const char kNoSniffLine[] = "X-Content-Type-Options: nosniff\r\n";

Request::Method _method(enum evhttp_cmd_type command) {
  if (command == EVHTTP_REQ_GET) return Request::Method::kGet;
  if (command == EVHTTP_REQ_HEAD) return Request::Method::kHead;
  return Request::Method::kOther;
}

}  // namespace

class HttpServer::Loop {
 public:
  explicit Loop(const ServerSettings &settings)
      : router_(settings.reader, settings.token),
        idle_timeout_(settings.idle_timeout_seconds),
        max_connections_(settings.max_connections) {}

  ~Loop() {
    if (thread_.joinable()) {
      // One byte wakes the loop; it breaks out and the thread ends.
      const char stop = 0;
      while (write(stop_pipe_[1], &stop, 1) < 0 && errno == EINTR) {
      }
      thread_.join();
    }
    if (http_ != nullptr) evhttp_free(http_);  // closes the listener and every connection
    if (stop_event_ != nullptr) event_free(stop_event_);
    if (adopt_event_ != nullptr) event_free(adopt_event_);
    for (struct bufferevent *connection : unadopted_) bufferevent_decref(connection);
    if (base_ != nullptr) event_base_free(base_);
    for (int fd : stop_pipe_) {
      if (fd >= 0) close(fd);
    }
    if (socket_.fd >= 0 && !socket_owned_by_http_) close(socket_.fd);
  }

  bool start(const std::string &address, std::string *error) {
    if (!open_listen_socket(address, &socket_, error)) return false;
    base_ = event_base_new();
    http_ = base_ == nullptr ? nullptr : evhttp_new(base_);
    if (http_ == nullptr || pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
      *error = "cannot set up the HTTP server";
      return false;
    }
    evhttp_set_max_headers_size(http_, kMaxHeadersBytes);
    evhttp_set_max_body_size(http_, kMaxBodyBytes);
    evhttp_set_timeout(http_, idle_timeout_);
    // Every method reaches the router, which answers 405 with Allow itself (libevent would
    // answer 501 to the ones it was not told about).
    evhttp_set_allowed_methods(http_, EVHTTP_REQ_GET | EVHTTP_REQ_POST | EVHTTP_REQ_HEAD |
                                          EVHTTP_REQ_PUT | EVHTTP_REQ_DELETE | EVHTTP_REQ_OPTIONS |
                                          EVHTTP_REQ_TRACE | EVHTTP_REQ_CONNECT | EVHTTP_REQ_PATCH);
    evhttp_set_gencb(http_, &Loop::_on_request, this);
    evhttp_set_bevcb(http_, &Loop::_on_new_connection, this);
    adopt_event_ = event_new(base_, -1, 0, &Loop::_on_adopt, this);
    if (adopt_event_ == nullptr) {
      *error = "cannot set up the HTTP server";
      return false;
    }
    struct evhttp_bound_socket *bound = evhttp_accept_socket_with_handle(http_, socket_.fd);
    if (bound == nullptr) {
      *error = "cannot serve HTTP on " + socket_.address;
      return false;
    }
    socket_owned_by_http_ = true;
    evconnlistener_set_error_cb(evhttp_bound_socket_get_listener(bound), &Loop::_on_accept_error);
    stop_event_ = event_new(base_, stop_pipe_[0], EV_READ, &Loop::_on_stop, base_);
    if (stop_event_ == nullptr || event_add(stop_event_, nullptr) != 0) {
      *error = "cannot set up the HTTP server";
      return false;
    }
    thread_ = std::thread([this] { event_base_dispatch(base_); });
    return true;
  }

  const ListenSocket &socket() const { return socket_; }

 private:
  static void _on_stop(evutil_socket_t, short, void *base) {
    event_base_loopbreak(static_cast<struct event_base *>(base));
  }

  static void _on_accept_error(struct evconnlistener *listener, void *) {
    struct timeval pause = {0, kAcceptPauseMicroseconds};
    if (event_base_once(evconnlistener_get_base(listener), -1, EV_TIMEOUT, &Loop::_on_resume,
                        listener, &pause) == 0) {
      evconnlistener_disable(listener);
    }
  }

  static void _on_resume(evutil_socket_t, short, void *listener) {
    evconnlistener_enable(static_cast<struct evconnlistener *>(listener));
  }

  // evhttp asks for each accepted connection's bufferevent before it makes the connection
  // around it. The connection is known (as the bufferevent's callback argument) once this
  // returns: it is adopted from an event that runs right after, before the connection can
  // read anything. The reference keeps the bufferevent valid until then whatever happens.
  static struct bufferevent *_on_new_connection(struct event_base *base, void *self) {
    Loop *loop = static_cast<Loop *>(self);
    struct bufferevent *connection = bufferevent_socket_new(base, -1, BEV_OPT_CLOSE_ON_FREE);
    if (connection == nullptr) return nullptr;
    evbuffer_add_cb(bufferevent_get_output(connection), &Loop::_on_output, loop);
    bufferevent_incref(connection);
    loop->unadopted_.push_back(connection);
    event_active(loop->adopt_event_, EV_TIMEOUT, 0);
    return connection;
  }

  static void _on_adopt(evutil_socket_t, short, void *self) {
    Loop *loop = static_cast<Loop *>(self);
    std::vector<struct bufferevent *> connections;
    connections.swap(loop->unadopted_);
    for (struct bufferevent *buffer : connections) {
      bufferevent_data_cb read_cb, write_cb;
      bufferevent_event_cb event_cb = nullptr;
      void *argument = nullptr;
      bufferevent_getcb(buffer, &read_cb, &write_cb, &event_cb, &argument);
      // Callbacks cleared: evhttp has already let the connection go.
      if (event_cb != nullptr && argument != nullptr) {
        struct evhttp_connection *connection = static_cast<struct evhttp_connection *>(argument);
        if (loop->open_connections_ >= loop->max_connections_) {
          _refuse(buffer);
          evhttp_connection_free(connection);
        } else {
          ++loop->open_connections_;
          evhttp_connection_set_closecb(connection, &Loop::_on_close, loop);
        }
      }
      bufferevent_decref(buffer);
    }
  }

  static void _on_close(struct evhttp_connection *, void *self) {
    --static_cast<Loop *>(self)->open_connections_;
  }

  // Reads what the client sent so far (so that closing does not reset the connection before
  // the answer is read), then sends the 503.
  static void _refuse(struct bufferevent *buffer) {
    const evutil_socket_t fd = bufferevent_getfd(buffer);
    if (fd < 0) return;
    char ignored[4096];
    for (int i = 0; i < 4 && recv(fd, ignored, sizeof ignored, MSG_DONTWAIT) > 0; ++i) {
    }
    const ssize_t sent =
        send(fd, kTooManyConnections, sizeof kTooManyConnections - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    (void)sent;
  }

  // Every answer passes here as it is written out. Ours carry their headers already; libevent's
  // own (its 400 and 413 pages) are written outside serve(), status line first in one piece:
  // the nosniff header is added right behind that line.
  static void _on_output(struct evbuffer *output, const struct evbuffer_cb_info *info, void *self) {
    if (static_cast<Loop *>(self)->serving_ || info->n_added < 12) return;
    struct evbuffer_ptr at;
    if (evbuffer_ptr_set(output, &at, info->orig_size, EVBUFFER_PTR_SET) != 0) return;
    char start[8];
    if (evbuffer_copyout_from(output, &at, start, sizeof start) != sizeof start ||
        memcmp(start, "HTTP/1.", 7) != 0) {
      return;
    }
    size_t eol_length = 0;
    const struct evbuffer_ptr eol =
        evbuffer_search_eol(output, &at, &eol_length, EVBUFFER_EOL_CRLF);
    if (eol.pos < 0 ||
        static_cast<size_t>(eol.pos) + eol_length != info->orig_size + info->n_added) {
      return;  // not a lone status line (a "100 Continue" comes with its blank line)
    }
    evbuffer_add(output, kNoSniffLine, sizeof kNoSniffLine - 1);
  }

  static void _free_body(const void *, size_t, void *owned) {
    delete static_cast<std::string *>(owned);
  }

  static void _on_request(struct evhttp_request *request, void *self) {
    static_cast<Loop *>(self)->serve(request);
  }

  void serve(struct evhttp_request *request) {
    const char *target = evhttp_request_get_uri(request);
    const struct evhttp_uri *uri = evhttp_request_get_evhttp_uri(request);
    const char *path = uri == nullptr ? nullptr : evhttp_uri_get_path(uri);
    const char *query = uri == nullptr ? nullptr : evhttp_uri_get_query(uri);
    Request routed;
    routed.method = _method(evhttp_request_get_command(request));
    routed.path = path == nullptr ? "" : path;
    routed.query = query == nullptr ? "" : query;
    routed.target_size = target == nullptr ? 0 : strlen(target);
    routed.authorization =
        evhttp_find_header(evhttp_request_get_input_headers(request), "Authorization");
    Response response = router_.answer(routed);

    struct evkeyvalq *headers = evhttp_request_get_output_headers(request);
    for (const auto &header : response.headers) {
      evhttp_add_header(headers, header.first.c_str(), header.second.c_str());
    }
    const size_t size =
        response.static_body != nullptr ? response.static_size : response.body.size();
    const bool head = routed.method == Request::Method::kHead;
    if (head) {
      // libevent would send a HEAD answer's body, and leaves out the length when there is
      // none: the length is what GET would send, and the body stays here.
      evhttp_add_header(headers, "Content-Length", std::to_string(size).c_str());
    }
    struct evbuffer *body = evbuffer_new();
    if (body == nullptr) {
      evhttp_send_error(request, 500, nullptr);  // gets its nosniff line from _on_output
      return;
    }
    if (head) {
      // headers only
    } else if (response.static_body != nullptr) {
      evbuffer_add_reference(body, response.static_body, response.static_size, nullptr, nullptr);
    } else if (!response.body.empty()) {
      // A whole transaction can run to tens of megabytes: the buffer takes the string over
      // instead of copying it, and frees it once it is sent.
      std::string *owned = new std::string(std::move(response.body));
      if (evbuffer_add_reference(body, owned->data(), owned->size(), &Loop::_free_body, owned) !=
          0) {
        delete owned;
      }
    }
    serving_ = true;
    evhttp_send_reply(request, response.status, reason_phrase(response.status), body);
    serving_ = false;
    evbuffer_free(body);
  }

  Router router_;
  int idle_timeout_;
  int max_connections_;
  int open_connections_ = 0;
  bool serving_ = false;  // our own answer is being written
  std::vector<struct bufferevent *> unadopted_;
  struct event *adopt_event_ = nullptr;
  ListenSocket socket_;
  bool socket_owned_by_http_ = false;
  struct event_base *base_ = nullptr;
  struct evhttp *http_ = nullptr;
  struct event *stop_event_ = nullptr;
  int stop_pipe_[2] = {-1, -1};
  std::thread thread_;
};

std::unique_ptr<HttpServer> HttpServer::start(const ServerSettings &settings, std::string *error) {
  std::unique_ptr<Loop> loop(new Loop(settings));
  if (!loop->start(settings.address, error)) return nullptr;
  return std::unique_ptr<HttpServer>(new HttpServer(std::move(loop)));
}

HttpServer::HttpServer(std::unique_ptr<Loop> loop) : loop_(std::move(loop)) {}

HttpServer::~HttpServer() = default;

const std::string &HttpServer::address() const { return loop_->socket().address; }

bool HttpServer::loopback() const { return loop_->socket().loopback; }

}  // namespace http
}  // namespace veska
