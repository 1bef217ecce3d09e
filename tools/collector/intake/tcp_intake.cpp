// The collector's TCP intake: accepting, reading and decoding client connections.
#include "tools/collector/intake/tcp_intake.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "lib/vecommon/ve_types.h"
#include "tools/collector/metrics/metrics.h"
#include "types.h"

namespace veska {
namespace collector {

namespace {

using Seconds = std::chrono::duration<double>;

// How long a connection must stay quiet after a stop signal before it is closed: longer than
// the second a client lets small amounts of data wait before sending them.
constexpr double kDrainQuietSeconds = 1.2;
constexpr double kDrainBoundSeconds = 5;
// A failed accept that the spare descriptor cannot clear pauses accepting this long.
constexpr double kAcceptPauseSeconds = 0.1;
constexpr size_t kReadBufferSize = 256 * 1024;
// Reads per connection and pass, so that one busy connection cannot starve the others.
constexpr int kReadsPerPass = 16;
// The longest dispatch pass while an output holds the intake back: short, so that reading
// resumes soon after the output has made room.
constexpr uint32_t kPausedPassMicroseconds = 1000;

TcpIntake *_intake_of(transport_endpoint_t *endpoint) {
  return static_cast<TcpIntake *>(endpoint->transport->userdata);
}

// The system's text, starting in lower case to read as part of a sentence.
std::string _system_text(int error) {
  std::string text = strerror(error);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] + 32);
  return text;
}

// Why listening on address failed, in words: the transport reports only a code, so the steps
// it took are repeated here to find the one that fails. Empty when none does.
std::string _listen_failure_reason(const std::string &address) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos) return "";
  std::string host = address.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo *list = nullptr;
  const int resolved = getaddrinfo(host.c_str(), address.c_str() + colon + 1, &hints, &list);
  if (resolved != 0) return "cannot resolve '" + host + "': " + gai_strerror(resolved);
  std::string reason;
  for (struct addrinfo *entry = list; entry != nullptr && reason.empty(); entry = entry->ai_next) {
    const int s = socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
    if (s < 0) {
      reason = _system_text(errno);
      continue;
    }
    int one = 1;
    (void)setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(s, entry->ai_addr, entry->ai_addrlen) != 0) reason = _system_text(errno);
    close(s);
  }
  freeaddrinfo(list);
  return reason;
}

}  // namespace

struct TcpIntake::Connection {
  transport_endpoint_t endpoint;  // registered with the transport: its address must not move
  uint64_t id = 0;
  std::string peer;
  wire::StreamDecoder decoder;
  uint64_t received = 0;
  bool close_after = false;
  Clock::time_point last_data;
};

TcpIntake::TcpIntake(const IntakeSettings &settings, std::vector<std::unique_ptr<Output>> *outputs)
    : settings_(settings), outputs_(outputs), buffer_(new uint8_t[kReadBufferSize]) {
  memset(&transport_, 0, sizeof transport_);
  memset(&listener_, 0, sizeof listener_);
}

TcpIntake::~TcpIntake() {
  close_all();
  if (initialised_) TRANSPORT_destroy(&transport_);
  if (spare_descriptor_ >= 0) close(spare_descriptor_);
}

bool TcpIntake::listen(std::string *error) {
  spare_descriptor_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (TRANSPORT_check_address("tcp", settings_.listen.c_str()) != 0) {
    const std::string reason = _listen_failure_reason(settings_.listen);
    *error = "cannot listen on '" + settings_.listen +
             "': " + (reason.empty() ? "not a TCP address" : reason);
    return false;
  }
  int rc = TRANSPORT_init(&transport_, "tcp");
  if (rc != 0) {
    *error = "cannot initialise the TCP transport (" + std::to_string(rc) + ")";
    return false;
  }
  initialised_ = true;
  transport_.on_readable = _on_readable;
  transport_.is_readable = _is_readable;
  transport_.userdata = this;
  rc = TRANSPORT_listen(&transport_, &listener_, settings_.listen.c_str());
  if (rc != 0) {
    const std::string reason = _listen_failure_reason(settings_.listen);
    *error = "cannot listen on '" + settings_.listen +
             "': " + (reason.empty() ? "result " + std::to_string(rc) : reason);
    return false;
  }
  listening_ = true;
  return true;
}

// Every decoded message: counted, then handed to the outputs until --count is reached.
void TcpIntake::visit(const wire::MessageView &message) {
  if (done_) return;
  ++counts_.kinds[static_cast<int>(message.kind)];
  if (!outputs_->empty()) {
    Delivery delivery(message, reading_->id, reading_->peer);
    for (const std::unique_ptr<Output> &output : *outputs_) output->deliver(delivery);
  }
  if (message.kind == wire::MessageKind::kEvent && settings_.count != 0 &&
      counts_.kinds[static_cast<int>(wire::MessageKind::kEvent)] >= settings_.count) {
    done_ = true;
  }
}

// ---- Connections ---------------------------------------------------------------------------

void TcpIntake::_close(transport_endpoint_t *endpoint) {
  auto found = connections_.find(endpoint);
  if (found == connections_.end()) return;
  TRANSPORT_close(endpoint);
  retired_.push_back(std::move(found->second));
  connections_.erase(found);
}

void TcpIntake::close_all() {
  while (!connections_.empty()) _close(connections_.begin()->first);
  retired_.clear();
  if (listening_) TRANSPORT_close(&listener_);
  listening_ = false;
}

void TcpIntake::_protocol_error(Connection *connection, const wire::DecodeError &error) {
  ++counts_.protocol_errors;
  for (const std::unique_ptr<Output> &output : *outputs_) {
    output->protocol_error(connection->id, connection->peer, error);
  }
}

// Accepts one pending connection and closes it at once.
bool TcpIntake::_refuse_one() {
  transport_endpoint_t endpoint;
  memset(&endpoint, 0, sizeof endpoint);
  if (TRANSPORT_accept(&listener_, &endpoint) != 0) return false;
  TRANSPORT_close(&endpoint);
  ++counts_.refused;
  return true;
}

// An accept failed for a reason other than an empty queue; most often the process is out of
// descriptors (EMFILE). The pending connection would keep the listener readable for ever, so
// the spare descriptor is given up to accept and close it; if that does not clear it, accepting
// pauses briefly instead of spinning.
void TcpIntake::_accept_failed(int rc) {
  bool cleared = false;
  if (spare_descriptor_ >= 0) {
    close(spare_descriptor_);
    spare_descriptor_ = -1;
    cleared = _refuse_one();
    spare_descriptor_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  if (!cleared) {
    fprintf(stderr, "veska-collector: accept failed (%d); pausing accepts\n", rc);
    accept_paused_until_ =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(Seconds(kAcceptPauseSeconds));
  }
}

void TcpIntake::_accept_all() {
  for (int i = 0; i < 64; ++i) {
    if (connections_.size() >= settings_.max_connections) {
      if (!_refuse_one()) return;
      continue;
    }
    std::unique_ptr<Connection> connection(new Connection);
    memset(&connection->endpoint, 0, sizeof connection->endpoint);
    int rc = TRANSPORT_accept(&listener_, &connection->endpoint);
    if (rc == QIVA_ERR_AGAIN) return;
    if (rc != 0) {
      _accept_failed(rc);
      return;
    }
    connection->id = ++counts_.connections;
    connection->peer = connection->endpoint.str_addr;
    connection->close_after =
        settings_.close_after != 0 && connection->id <= settings_.close_connections;
    connection->last_data = Clock::now();
    transport_endpoint_t *key = &connection->endpoint;
    connections_[key] = std::move(connection);
  }
}

void TcpIntake::_read(Connection *connection) {
  reading_ = connection;
  for (int i = 0; i < kReadsPerPass && !done_; ++i) {
    uint32_t size = static_cast<uint32_t>(kReadBufferSize);
    int rc =
        TRANSPORT_receive(&connection->endpoint, reinterpret_cast<char *>(buffer_.get()), &size);
    if (rc == QIVA_ERR_AGAIN) return;
    if (rc != 0 || size == 0) {
      // The peer closed (or reset) the connection: a message left unfinished is truncated.
      if (!connection->decoder.finish()) _protocol_error(connection, *connection->decoder.error());
      _close(&connection->endpoint);
      return;
    }
    connection->last_data = Clock::now();
    bool close_now = false;
    if (connection->close_after) {
      uint64_t room = settings_.close_after - connection->received;
      if (size >= room) {
        size = static_cast<uint32_t>(room);
        close_now = true;
      }
    }
    connection->received += size;
    counts_.bytes += size;
    if (!connection->decoder.feed_views(buffer_.get(), size, this)) {
      _protocol_error(connection, *connection->decoder.error());
      _close(&connection->endpoint);
      return;
    }
    if (close_now) {
      // Deliberately cut: the unread rest makes the kernel reset the connection.
      _close(&connection->endpoint);
      return;
    }
    // An output filled up: leave the rest in the socket until it has room.
    if (!_outputs_accepting()) return;
  }
}

bool TcpIntake::_outputs_accepting() const {
  for (const std::unique_ptr<Output> &output : *outputs_) {
    if (!output->accepting()) return false;
  }
  return true;
}

int TcpIntake::_on_readable(transport_endpoint_t *endpoint) {
  TcpIntake *intake = _intake_of(endpoint);
  intake->last_activity_ = Clock::now();
  if (endpoint == &intake->listener_) {
    if (intake->listening_) intake->_accept_all();
  } else if (!intake->paused_) {
    auto found = intake->connections_.find(endpoint);
    if (found != intake->connections_.end()) intake->_read(found->second.get());
  }
  // A non-zero handler result ends the dispatch call after this pass (27 is reported as
  // success), so the main loop regains control after every pass with activity.
  return QIVA_ERR_AGAIN;
}

// Non-zero: do not watch the endpoint this pass (the listener while accepting is paused, the
// connections while an output is full).
int TcpIntake::_is_readable(transport_endpoint_t *endpoint) {
  TcpIntake *intake = _intake_of(endpoint);
  if (endpoint == &intake->listener_) return Clock::now() < intake->accept_paused_until_ ? 1 : 0;
  return intake->paused_ ? 1 : 0;
}

void TcpIntake::close_silent(Clock::time_point now) {
  const auto limit = std::chrono::duration_cast<Clock::duration>(Seconds(settings_.client_timeout));
  for (auto it = connections_.begin(); it != connections_.end();) {
    transport_endpoint_t *endpoint = it->first;
    // A connection held back by a full output is not silent: its client is waiting on us.
    const bool silent = !paused_ && now - it->second->last_data >= limit;
    ++it;
    if (silent) {
      ++counts_.timed_out;
      _close(endpoint);
    }
  }
}

bool TcpIntake::turn(uint32_t timeout_us) {
  paused_ = !_outputs_accepting();
  ve_time_t pass_timeout = {0,
                            paused_ ? std::min(timeout_us, kPausedPassMicroseconds) : timeout_us};
  int rc = TRANSPORT_dispatch(&transport_, &pass_timeout);
  retired_.clear();
  _publish();
  for (const std::unique_ptr<Output> &output : *outputs_) {
    output->flush();
    output->poll();
  }
  if (rc != 0 && rc != QIVA_ERR_TIMEDOUT) {
    fprintf(stderr, "veska-collector: dispatch failed (%d)\n", rc);
    return false;
  }
  return true;
}

void TcpIntake::_publish() const {
  Metrics &m = metrics();
  for (int kind = 0; kind < 4; ++kind) {
    m.messages[kind].store(counts_.kinds[kind], std::memory_order_relaxed);
  }
  m.protocol_errors.store(counts_.protocol_errors, std::memory_order_relaxed);
  m.connections.store(counts_.connections, std::memory_order_relaxed);
  m.refused.store(counts_.refused, std::memory_order_relaxed);
  m.timed_out.store(counts_.timed_out, std::memory_order_relaxed);
  m.bytes.store(counts_.bytes, std::memory_order_relaxed);
  m.open_connections.store(connections_.size(), std::memory_order_relaxed);
}

bool TcpIntake::drain(const volatile sig_atomic_t *stop_requested) {
  const Clock::time_point start = Clock::now();
  if (listening_) {
    _accept_all();  // connections the kernel already completed are served, not reset
    TRANSPORT_close(&listener_);
    listening_ = false;
  }
  const int signals = *stop_requested;
  const auto quiet = std::chrono::duration_cast<Clock::duration>(Seconds(kDrainQuietSeconds));
  const auto bound = std::chrono::duration_cast<Clock::duration>(Seconds(kDrainBoundSeconds));
  while (!connections_.empty() && !done_ && *stop_requested == signals) {
    const Clock::time_point now = Clock::now();
    if (now - start >= bound) break;
    bool all_quiet = true;
    for (const auto &entry : connections_) {
      const Clock::time_point last = std::max(entry.second->last_data, start);
      if (now - last < quiet) all_quiet = false;
    }
    if (all_quiet) break;
    if (!turn(50000)) return false;
  }
  return true;
}

}  // namespace collector
}  // namespace veska
