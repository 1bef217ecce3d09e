// The "tcp" transport on libevent: a non-blocking connect waited for on a private event base,
// single-call sends and receives, close with removal deferred while a dispatch pass runs, and
// for owners that accept connections: listen, accept and readiness passes over the endpoints.
#include <arpa/inet.h>
#include <errno.h>
#include <event2/event.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "lib/concurrent/mutex_guard.h"
#include "lib/transport/tcp-internal.h"
#include "lib/transport/transport.h"
#include "lib/vecommon/ve_logging.h"
#include "lib/vecommon/ve_time.h"

VE_LOG_FILE("transport");

namespace {

const char kUnknownAddress[] = "Unknown address family";
// str_addr is 128 bytes; the formatter gets one less, which keeps the last byte free as a
// spare terminator whatever the formatter writes.
const size_t kAddressLimit = TRANSPORT_ADDRESS_TEXT_SIZE - 1;

tcp_transport_info *_instance_info(const transport_instance_t *transport) {
  return transport != nullptr ? static_cast<tcp_transport_info *>(transport->internal.module)
                              : nullptr;
}

tcp_transport_info *_endpoint_instance_info(const transport_endpoint_t *endpoint) {
  return endpoint != nullptr ? _instance_info(endpoint->transport) : nullptr;
}

// The endpoint's record, but only while its instance still has state: destroy frees every
// listed record without touching the endpoints, so a record is trusted only through a live
// instance.
tcp_endpoint_info *_live_record(const transport_endpoint_t *endpoint) {
  if (_endpoint_instance_info(endpoint) == nullptr) return nullptr;
  return static_cast<tcp_endpoint_info *>(endpoint->internal.module);
}

tcp_endpoint_info *_new_record(transport_endpoint_t *endpoint) {
  auto *record = static_cast<tcp_endpoint_info *>(calloc(1, sizeof(tcp_endpoint_info)));
  if (record == nullptr) return nullptr;
  record->socket = -1;
  endpoint->internal.module = record;
  return record;
}

// Undoes _new_record for an operation that failed before the record was listed.
void _discard_record(transport_endpoint_t *endpoint, tcp_endpoint_info *record) {
  if (record->socket >= 0) close(record->socket);
  if (record->resolved_addresses != nullptr) freeaddrinfo(record->resolved_addresses);
  endpoint->internal.module = nullptr;
  free(record);
}

// A new record for endpoint with address resolved into it: 0, 24, or the parse's result (the
// record is discarded then).
int _resolved_record(transport_endpoint_t *endpoint, const char *address, tcp_endpoint_info **out) {
  tcp_endpoint_info *record = _new_record(endpoint);
  if (record == nullptr) return QIVA_ERR_NOMEM;
  int rc = TRANSPORT_TCP_parse_address(address, &record->resolved_addresses);
  if (rc != 0) {
    _discard_record(endpoint, record);
    return rc;
  }
  record->address = address;
  *out = record;
  return 0;
}

void _free_event(tcp_endpoint_info *record) {
  if (record->ev != nullptr) {
    event_del(record->ev);
    event_free(record->ev);
    record->ev = nullptr;
  }
  record->ev_type = 0;
}

// List changes are made with endpoint_lock held.
void _list_push(tcp_transport_info *info, tcp_endpoint_info *record) {
  record->previous = nullptr;
  record->next = info->endpoint_info;
  if (info->endpoint_info != nullptr) info->endpoint_info->previous = record;
  info->endpoint_info = record;
}

void _list_remove(tcp_transport_info *info, tcp_endpoint_info *record) {
  if (record->previous != nullptr) {
    record->previous->next = record->next;
  } else {
    info->endpoint_info = record->next;
  }
  if (record->next != nullptr) record->next->previous = record->previous;
  record->previous = record->next = nullptr;
}

int _list_add(tcp_transport_info *info, tcp_endpoint_info *record) {
  MutexGuard guard(&info->endpoint_lock);
  if (!guard.locked()) return QIVA_ERR_OSERROR;
  _list_push(info, record);
  return 0;
}

}  // namespace

extern "C" {

// MSG_NOSIGNAL turns a write to a connection the peer closed into EPIPE instead of SIGPIPE.
ssize_t safe_send_recv(int is_send, int s, const void *buf, size_t len) {
  if (is_send) return send(s, buf, len, MSG_NOSIGNAL);
  return recv(s, const_cast<void *>(buf), len, MSG_NOSIGNAL);
}

}  // extern "C"

namespace {

int _transfer_result(ssize_t moved, uint32_t *size) {
  if (moved < 0)
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? QIVA_ERR_AGAIN : QIVA_ERR_TRANSPORT;
  *size = static_cast<uint32_t>(moved);
  return 0;
}

// A blocking socket reports EAGAIN only when its send time-out passed without moving a byte:
// the peer has stopped reading, which counts as a lost connection, not as "try again".
bool _send_timed_out(int s) {
  if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
  int flags = fcntl(s, F_GETFL, 0);
  return flags >= 0 && (flags & O_NONBLOCK) == 0;
}

// A connected socket's writes give up after the connect time-out without progress (it only
// matters once the socket is switched to blocking mode), so a peer that stops reading cannot
// hold a writer for ever.
void _set_send_timeout(int s, const struct timeval *timeout) {
  VE_LOG_ENTER("_set_send_timeout");
  if (timeout == nullptr || (timeout->tv_sec == 0 && timeout->tv_usec == 0)) VE_RETURN_VOID();
  if (setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, timeout, sizeof *timeout) != 0) {
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "setsockopt(SO_SNDTIMEO) failed: errno = %d", errno);
  }
  VE_RETURN_VOID();
}

// The connect wait only needs to know whether it ended by time-out.
void _writeable_socket_callback(evutil_socket_t, short ev_type, void *arg) {
  if ((ev_type & EV_TIMEOUT) != 0) *static_cast<int *>(arg) = 1;
}

bool _is_passing_failure(int err) {
  return err == ENETDOWN || err == ECONNRESET || err == ETIMEDOUT || err == ECONNREFUSED ||
         err == EHOSTUNREACH;
}

// Runs one connect attempt on socket s to entry; returns the outcome's error number (0:
// connected) and closes s itself when the wait timed out or its result cannot be read.
// *wait_timed_out tells a time-out apart; -1 means no event base or event could be made.
int _connect_entry(int *s, const struct addrinfo *entry, const struct timeval *timeout,
                   int *wait_timed_out) {
  VE_LOG_ENTER("_connect_entry");
  int err = 0;
  if (connect(*s, entry->ai_addr, entry->ai_addrlen) != 0) err = errno;
  if (err != EINPROGRESS && err != EALREADY) VE_RETURN(err);

  // A private, short-lived base: the instance's own base may belong to a dispatch pass.
  struct event_base *base = event_base_new();
  struct event *ev = nullptr;
  if (base != nullptr) {
    ev = event_new(base, *s, EV_WRITE, _writeable_socket_callback, wait_timed_out);
  }
  if (ev == nullptr || event_add(ev, timeout) != 0) {
    if (ev != nullptr) event_free(ev);
    if (base != nullptr) event_base_free(base);
    VE_RETURN(-1);
  }
  int loop_result = event_base_loop(base, EVLOOP_ONCE);
  event_del(ev);
  event_free(ev);
  event_base_free(base);

  if (*wait_timed_out) {
    close(*s);
    *s = -1;
    VE_RETURN(ETIMEDOUT);
  }
  if (loop_result != 0) {
    // The wait never saw the socket ready, so SO_ERROR would not tell the outcome.
    close(*s);
    *s = -1;
    VE_RETURN(err);
  }
  int pending = 0;
  socklen_t length = sizeof pending;
  if (getsockopt(*s, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "getsockopt failed: errno = %d", errno);
    close(*s);
    *s = -1;
    VE_RETURN(err);
  }
  VE_RETURN(pending);
}

void _dispatch_callback(evutil_socket_t, short ev_type, void *arg) {
  auto *record = static_cast<tcp_endpoint_info *>(arg);
  if (record == nullptr || record->closed) return;
  transport_endpoint_t *endpoint = record->endpoint;
  if (endpoint == nullptr) return;
  transport_instance_t *transport = endpoint->transport;
  tcp_transport_info *info = _instance_info(transport);
  if (info == nullptr) return;
  if ((ev_type & EV_TIMEOUT) != 0) {
    info->timed_out = 1;
    return;
  }
  if ((ev_type & EV_READ) != 0 && transport->on_readable != nullptr) {
    int rc = transport->on_readable(endpoint);
    if (rc != 0 && info->endpoint_error == 0) info->endpoint_error = rc;
  }
  // The read handler may have closed this endpoint (and even reused its record holder).
  if ((ev_type & EV_WRITE) != 0 && !record->closed && record->endpoint == endpoint &&
      transport->on_writeable != nullptr) {
    int rc = transport->on_writeable(endpoint);
    if (rc != 0 && info->endpoint_error == 0) info->endpoint_error = rc;
  }
}

// Decides and arms what one open record watches in this pass. Called with the lock held.
int _arm_record(transport_instance_t *transport, tcp_transport_info *info,
                tcp_endpoint_info *record, const struct timeval *timeout) {
  transport_endpoint_t *endpoint = record->endpoint;
  short kinds = 0;
  if (transport->on_readable != nullptr &&
      (transport->is_readable == nullptr || transport->is_readable(endpoint) == 0)) {
    kinds |= EV_READ;
  }
  if (transport->on_writeable != nullptr &&
      (transport->is_writeable == nullptr || transport->is_writeable(endpoint) == 0)) {
    kinds |= EV_WRITE;
  }
  if (kinds == record->ev_type) {
    if (record->ev != nullptr && event_add(record->ev, timeout) != 0) return QIVA_ERR_NOMEM;
    return 0;
  }
  if (kinds == 0) {
    _free_event(record);
    return 0;
  }
  if (record->ev != nullptr) {
    event_del(record->ev);
    if (event_assign(record->ev, info->ev_base, record->socket, kinds, _dispatch_callback,
                     record) != 0) {
      _free_event(record);
      return QIVA_ERR_NOMEM;
    }
  } else {
    record->ev = event_new(info->ev_base, record->socket, kinds, _dispatch_callback, record);
    if (record->ev == nullptr) {
      record->ev_type = 0;
      return QIVA_ERR_NOMEM;
    }
  }
  record->ev_type = kinds;
  if (event_add(record->ev, timeout) != 0) return QIVA_ERR_NOMEM;
  return 0;
}

// Names the endpoint after address (kUnknownAddress when it is null or cannot be written) and
// lists its record: 0, or 25 with the record discarded.
int _list_named_record(tcp_transport_info *info, transport_endpoint_t *endpoint,
                       tcp_endpoint_info *record, const struct sockaddr *address) {
  if (address == nullptr || _address_to_string(address, endpoint->str_addr, kAddressLimit) != 0) {
    snprintf(endpoint->str_addr, sizeof endpoint->str_addr, "%s", kUnknownAddress);
  }
  if (_list_add(info, record) != 0) {
    _discard_record(endpoint, record);
    return QIVA_ERR_OSERROR;
  }
  return 0;
}

// The close itself, under endpoint_lock: 0, 25 when the lock fails, 23 when the socket does
// not close.
int _close_record(tcp_transport_info *info, transport_endpoint_t *endpoint) {
  MutexGuard guard(&info->endpoint_lock);
  if (!guard.locked()) return QIVA_ERR_OSERROR;
  auto *record = static_cast<tcp_endpoint_info *>(endpoint->internal.module);
  if (record == nullptr || record->closed) return 0;
  record->closed = 1;
  _free_event(record);
  // Detach both ways: a second close, a send or a mode switch on the endpoint finds no
  // record, and a record left for the next pass never reaches back into an endpoint its
  // owner may reuse or free as soon as this returns.
  endpoint->internal.module = nullptr;
  record->endpoint = nullptr;
  int rc = 0;
  if (record->socket >= 0 && close(record->socket) != 0) rc = QIVA_ERR_TRANSPORT;
  record->socket = -1;
  if (rc == 0) {
    if (info->dispatching) {
      // A pass may still hold this record as its callback argument; the next pass frees it.
      info->close_endpoints = 1;
    } else {
      _list_remove(info, record);
      free(record);
    }
  }
  return rc;
}

}  // namespace

extern "C" {

int _tcp_init(transport_instance_t *transport) {
  VE_LOG_ENTER("_tcp_init");
  int rc = TRANSPORT_TCP_initialise_sockets();
  if (rc != 0) VE_RETURN(rc);
  if (transport == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  auto *info = static_cast<tcp_transport_info *>(calloc(1, sizeof(tcp_transport_info)));
  if (info == nullptr) VE_RETURN(QIVA_ERR_NOMEM);
  if (pthread_mutex_init(&info->endpoint_lock, nullptr) != 0) {
    free(info);
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  info->ev_base = event_base_new();
  if (info->ev_base == nullptr) {
    pthread_mutex_destroy(&info->endpoint_lock);
    free(info);
    VE_RETURN(QIVA_ERR_NOMEM);
  }
  transport->internal.module = info;
  VE_RETURN(0);
}

int _tcp_destroy(transport_instance_t *transport) {
  VE_LOG_ENTER("_tcp_destroy");
  tcp_transport_info *info = _instance_info(transport);
  if (info == nullptr) VE_RETURN(0);
  pthread_mutex_destroy(&info->endpoint_lock);
  // Records still listed are freed; their endpoints are not touched (their owner may already
  // have let them go) and their sockets stay open.
  tcp_endpoint_info *record = info->endpoint_info;
  while (record != nullptr) {
    tcp_endpoint_info *next = record->next;
    _free_event(record);
    free(record);
    record = next;
  }
  event_base_free(info->ev_base);
  free(info);
  transport->internal.module = nullptr;
  VE_RETURN(0);
}

int _tcp_set_blocking(transport_endpoint_t *endpoint, int blocking) {
  VE_LOG_ENTER("_tcp_set_blocking");
  tcp_endpoint_info *record = _live_record(endpoint);
  int s = record != nullptr ? record->socket : -1;
  int flags = fcntl(s, F_GETFL, 0);
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "Using fcntl/O_NONBLOCK");
  // Unreadable flags mean there is no usable descriptor: no mode can be promised.
  if (flags < 0) {
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "fcntl failed: errno = %d", errno);
    VE_RETURN(-1);
  }
  bool non_blocking = (flags & O_NONBLOCK) != 0;
  if (non_blocking == (blocking == 0)) VE_RETURN(0);
  if (fcntl(s, F_SETFL, flags ^ O_NONBLOCK) != 0) {
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "fcntl failed: errno = %d", errno);
    VE_RETURN(-1);
  }
  VE_RETURN(0);
}

int _tcp_connect(transport_endpoint_t *endpoint, const char *address,
                 const struct timeval *connect_timeout) {
  VE_LOG_ENTER("_tcp_connect");
  tcp_transport_info *info = _endpoint_instance_info(endpoint);
  if (info == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  tcp_endpoint_info *record = nullptr;
  int rc = _resolved_record(endpoint, address, &record);
  if (rc != 0) VE_RETURN(rc);

  // The result of the last entry whose connect was attempted; 23 when none got that far.
  int result = QIVA_ERR_TRANSPORT;
  bool connected = false;
  for (struct addrinfo *entry = record->resolved_addresses; entry != nullptr && !connected;
       entry = entry->ai_next) {
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
    // The resolver lists each address once per socket type. Only the stream entry is tried:
    // a raw entry (protocol 0) would make a second stream socket to the same address and
    // double the time an unanswered attempt takes.
    if (entry->ai_socktype != SOCK_STREAM && entry->ai_socktype != 0) continue;
    // Close-on-exec: a program this process executes must not keep the connection open.
    int s = socket(entry->ai_family, SOCK_STREAM | SOCK_CLOEXEC, entry->ai_protocol);
    if (s < 0) {
      VE_LOG_DEBUG(QIVA_LOG_ERROR, "errno = %d", errno);
      continue;
    }
    record->socket = s;
    if (_tcp_set_blocking(endpoint, 0) != 0) {
      VE_LOG_DEBUG(QIVA_LOG_ERROR, "errno = %d", errno);
      close(s);
      record->socket = -1;
      continue;
    }
    int wait_timed_out = 0;
    int err = _connect_entry(&s, entry, connect_timeout, &wait_timed_out);
    record->socket = s;
    if (err == -1) {
      _discard_record(endpoint, record);
      VE_RETURN(QIVA_ERR_NOMEM);
    }
    if (err == 0) {
      connected = true;
      result = 0;
    } else if (_is_passing_failure(err)) {
      result = wait_timed_out ? QIVA_ERR_TIMEDOUT : QIVA_ERR_AGAIN;
      VE_LOG_DEBUG(QIVA_LOG_ERROR, "errno=%d", err);
    } else {
      result = QIVA_ERR_TRANSPORT;
      VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_TRANSPORT_CONNECT_FAILED, address);
      VE_LOG_DEBUG(QIVA_LOG_ERROR, "(idempotent failure): errno=%d", err);
    }
    if (!connected && record->socket >= 0) {
      close(record->socket);
      record->socket = -1;
    }
  }
  freeaddrinfo(record->resolved_addresses);
  record->resolved_addresses = nullptr;

  if (!connected) {
    VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_TRANSPORT_CONNECT_FAILED, address);
    _discard_record(endpoint, record);
    VE_RETURN(result);
  }
  _set_send_timeout(record->socket, connect_timeout);
  record->endpoint = endpoint;
  if (_list_add(info, record) != 0) {
    _discard_record(endpoint, record);
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  VE_RETURN(0);
}

int _tcp_send(transport_endpoint_t *endpoint, const char *buf, uint32_t *size) {
  if (size == nullptr) return QIVA_ERR_INVALID;
  tcp_endpoint_info *record = _live_record(endpoint);
  // A closed or detached endpoint has no descriptor; the call then fails like any bad one.
  int s = record != nullptr ? record->socket : -1;
  int rc = _transfer_result(safe_send_recv(1, s, buf, *size), size);
  if (rc == QIVA_ERR_AGAIN && _send_timed_out(s)) rc = QIVA_ERR_TRANSPORT;
  return rc;
}

int _tcp_receive(transport_endpoint_t *endpoint, char *buf, uint32_t *size) {
  if (size == nullptr) return QIVA_ERR_INVALID;
  tcp_endpoint_info *record = _live_record(endpoint);
  int s = record != nullptr ? record->socket : -1;
  return _transfer_result(safe_send_recv(0, s, buf, *size), size);
}

void TRANSPORT_TCP_fork_lock(transport_instance_t *transport, int take) {
  if (transport == nullptr || transport->module != &tcp_transport_module) return;
  tcp_transport_info *info = _instance_info(transport);
  if (info == nullptr) return;
  if (take != 0) {
    pthread_mutex_lock(&info->endpoint_lock);
  } else {
    pthread_mutex_unlock(&info->endpoint_lock);
  }
}

int TRANSPORT_TCP_peer_closed(transport_endpoint_t *endpoint) {
  if (endpoint == nullptr || endpoint->transport == nullptr ||
      endpoint->transport->module != &tcp_transport_module) {
    return 0;
  }
  tcp_endpoint_info *record = _live_record(endpoint);
  if (record == nullptr || record->socket < 0) return 0;
  // The collector never sends: a readable socket means its end was closed or reset.
  struct pollfd watch = {record->socket, POLLIN | POLLRDHUP, 0};
  if (poll(&watch, 1, 0) <= 0) return 0;
  return (watch.revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) != 0 ? 1 : 0;
}

int _tcp_close(transport_endpoint_t *endpoint) {
  VE_LOG_ENTER("_tcp_close");
  tcp_transport_info *info = _endpoint_instance_info(endpoint);
  // No instance state: destroy has run and freed the records already.
  if (info == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  VE_RETURN(_close_record(info, endpoint));
}

int _address_to_string(const struct sockaddr *pAddr, char *deststr, size_t maxlen) {
  VE_LOG_ENTER("_address_to_string");
  if (pAddr == nullptr || deststr == nullptr || maxlen == 0) VE_RETURN(QIVA_ERR_INVALID);
  if (pAddr->sa_family == AF_INET) {
    const auto *in4 = reinterpret_cast<const struct sockaddr_in *>(pAddr);
    if (inet_ntop(AF_INET, &in4->sin_addr, deststr, static_cast<socklen_t>(maxlen)) == nullptr) {
      VE_RETURN(QIVA_ERR_TRANSPORT);
    }
    size_t length = strlen(deststr);
    if (length < maxlen) {
      snprintf(deststr + length, maxlen - length, ":%hu",
               static_cast<unsigned short>(ntohs(in4->sin_port)));
    }
  } else if (pAddr->sa_family == AF_INET6) {
    const auto *in6 = reinterpret_cast<const struct sockaddr_in6 *>(pAddr);
    // The text goes in after the '[', leaving room for it and the terminator.
    if (maxlen < 3 || inet_ntop(AF_INET6, &in6->sin6_addr, deststr + 1,
                                static_cast<socklen_t>(maxlen - 2)) == nullptr) {
      VE_RETURN(QIVA_ERR_TRANSPORT);
    }
    deststr[0] = '[';
    size_t length = strlen(deststr);
    if (length < maxlen) {
      snprintf(deststr + length, maxlen - length, "]:%hu",
               static_cast<unsigned short>(ntohs(in6->sin6_port)));
    }
  } else {
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "Unknown address family: %hu",
                 static_cast<unsigned short>(pAddr->sa_family));
    VE_RETURN(QIVA_ERR_INVALID);
  }
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "Address: %s", deststr);
  VE_RETURN(0);
}

int _tcp_listen(transport_endpoint_t *endpoint, const char *address) {
  VE_LOG_ENTER("_tcp_listen");
  tcp_transport_info *info = _endpoint_instance_info(endpoint);
  if (info == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  tcp_endpoint_info *record = nullptr;
  int rc = _resolved_record(endpoint, address, &record);
  if (rc != 0) VE_RETURN(rc);

  int s = -1;
  for (struct addrinfo *entry = record->resolved_addresses; entry != nullptr && s < 0;
       entry = entry->ai_next) {
    VE_LOG_DEBUG(QIVA_LOG_DETAIL, "Resolved: family: %d, protocol: %d", entry->ai_family,
                 entry->ai_protocol);
    if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
    if (entry->ai_protocol != IPPROTO_TCP && entry->ai_protocol != 0) continue;
    s = socket(entry->ai_family, SOCK_STREAM, entry->ai_protocol);
    VE_LOG_DEBUG(QIVA_LOG_DETAIL, "einfo->socket: %d", s);
    if (s < 0) continue;
    int one = 1;
    (void)setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(s, entry->ai_addr, entry->ai_addrlen) != 0) {
      close(s);
      s = -1;
    }
  }
  freeaddrinfo(record->resolved_addresses);
  record->resolved_addresses = nullptr;
  if (s < 0) {
    VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_TRANSPORT_LISTEN_FAILED, address);
    _discard_record(endpoint, record);
    VE_RETURN(QIVA_ERR_TRANSPORT);
  }
  record->socket = s;
  record->endpoint = endpoint;
  if (listen(s, 5) != 0) {
    VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_TRANSPORT_LISTEN_FAILED, address);
    _discard_record(endpoint, record);
    VE_RETURN(QIVA_ERR_TRANSPORT);
  }
  rc = _tcp_set_blocking(endpoint, 0);
  if (rc != 0) {
    _discard_record(endpoint, record);
    VE_RETURN(rc);
  }
  // Accepted sockets inherit the option from the listening one.
  int one = 1;
  int keepalive = setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  if (keepalive != 0) {
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "Set SO_KEEPALIVE=1 failed: %d", keepalive);
  } else {
    VE_LOG_DEBUG(QIVA_LOG_DETAIL, "Enabled SO_KEEPALIVE");
  }
  struct sockaddr_storage local;
  memset(&local, 0, sizeof local);
  socklen_t length = sizeof local;
  const struct sockaddr *name = reinterpret_cast<struct sockaddr *>(&local);
  if (getsockname(s, reinterpret_cast<struct sockaddr *>(&local), &length) != 0) {
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "getsockname failed: %d", errno);
    name = nullptr;
  }
  VE_RETURN(_list_named_record(info, endpoint, record, name));
}

int _tcp_accept(transport_endpoint_t *local_endpoint, transport_endpoint_t *remote_endpoint) {
  VE_LOG_ENTER("_tcp_accept");
  tcp_transport_info *info = _endpoint_instance_info(local_endpoint);
  tcp_endpoint_info *local = _live_record(local_endpoint);
  if (info == nullptr || local == nullptr || local->closed || remote_endpoint == nullptr) {
    VE_RETURN(QIVA_ERR_INVALID);
  }
  tcp_endpoint_info *record = _new_record(remote_endpoint);
  if (record == nullptr) VE_RETURN(QIVA_ERR_NOMEM);
  record->endpoint = remote_endpoint;
  memset(remote_endpoint->str_addr, 0, sizeof remote_endpoint->str_addr);

  struct sockaddr_storage peer;
  memset(&peer, 0, sizeof peer);
  socklen_t length = sizeof peer;
  int s = accept(local->socket, reinterpret_cast<struct sockaddr *>(&peer), &length);
  if (s < 0) {
    int err = errno;
    _discard_record(remote_endpoint, record);
    VE_RETURN((err == EAGAIN || err == EWOULDBLOCK) ? QIVA_ERR_AGAIN : QIVA_ERR_TRANSPORT);
  }
  record->socket = s;
  if (_tcp_set_blocking(remote_endpoint, 0) != 0) {
    _discard_record(remote_endpoint, record);
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  QIVA_time(&remote_endpoint->connect_time);
  VE_RETURN(_list_named_record(info, remote_endpoint, record,
                               reinterpret_cast<struct sockaddr *>(&peer)));
}

int _tcp_dispatch(transport_instance_t *transport, ve_time_t *timeout) {
  VE_LOG_ENTER("_tcp_dispatch");
  tcp_transport_info *info = _instance_info(transport);
  if (info == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  struct timeval relative;
  struct timeval *tv = nullptr;
  if (timeout != nullptr) {
    relative.tv_sec = static_cast<time_t>(timeout->sec) + timeout->usec / 1000000;
    relative.tv_usec = static_cast<suseconds_t>(timeout->usec % 1000000);
    tv = &relative;
  }

  if (pthread_mutex_lock(&info->endpoint_lock) != 0) VE_RETURN(QIVA_ERR_OSERROR);
  info->dispatching = 1;
  info->close_endpoints = 0;
  info->timed_out = 0;
  info->endpoint_error = 0;
  int rc = 0;
  tcp_endpoint_info *record = info->endpoint_info;
  while (record != nullptr && rc == 0) {
    tcp_endpoint_info *next = record->next;
    if (record->closed) {
      // Closed during an earlier pass (or its socket close failed): finish the removal.
      _list_remove(info, record);
      _free_event(record);
      free(record);
    } else {
      rc = _arm_record(transport, info, record, tv);
    }
    record = next;
  }
  if (rc != 0) {
    info->dispatching = 0;
    pthread_mutex_unlock(&info->endpoint_lock);
    VE_RETURN(rc);
  }
  if (pthread_mutex_unlock(&info->endpoint_lock) != 0) VE_RETURN(QIVA_ERR_OSERROR);

  // Handlers run inside the loop without the lock, so they may send, receive, accept and
  // close endpoints of this instance.
  int loop_result = event_base_loop(info->ev_base, EVLOOP_ONCE);
  rc = loop_result < 0 ? QIVA_ERR_OSERROR : (loop_result == 1 ? QIVA_ERR_AGAIN : 0);

  {
    MutexGuard guard(&info->endpoint_lock);
    info->dispatching = 0;
    if (!guard.locked()) rc = QIVA_ERR_OSERROR;
  }
  if (info->timed_out) {
    rc = QIVA_ERR_TIMEDOUT;
  } else if (rc == 0) {
    rc = info->endpoint_error;
  }
  VE_RETURN(rc);
}

transport_module_t tcp_transport_module = {
    "tcp",              /* name */
    _tcp_init,          /* init_function */
    _tcp_destroy,       /* destroy_function */
    _tcp_listen,        /* listen_function */
    _tcp_connect,       /* connect_function */
    _tcp_accept,        /* accept_function */
    _tcp_close,         /* close_function */
    _tcp_send,          /* send_function */
    _tcp_receive,       /* receive_function */
    _tcp_dispatch,      /* dispatch_function */
    _tcp_set_blocking,  /* setblocking_function */
    _tcp_check_address, /* check_address_function */
    nullptr,            /* next: set by registration */
};

}  // extern "C"
