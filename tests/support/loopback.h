// Loopback helpers built on plain sockets, so that the code under test is checked against
// something it did not build itself: raw listeners, clients and free ports on 127.0.0.1.
#ifndef VESKA_TESTS_SUPPORT_LOOPBACK_H
#define VESKA_TESTS_SUPPORT_LOOPBACK_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace veska_test {

inline std::string LoopbackAddress(int port) { return "127.0.0.1:" + std::to_string(port); }

inline int LocalPort(int s) {
  struct sockaddr_storage address;
  socklen_t length = sizeof address;
  if (getsockname(s, reinterpret_cast<struct sockaddr *>(&address), &length) != 0) return -1;
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<struct sockaddr_in6 *>(&address)->sin6_port);
  }
  return ntohs(reinterpret_cast<struct sockaddr_in *>(&address)->sin_port);
}

// A listening socket on 127.0.0.1 with an ephemeral port; it never accepts unless asked.
class RawListener {
 public:
  explicit RawListener(int backlog = 16) {
    s_ = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s_ >= 0 && bind(s_, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0 &&
        listen(s_, backlog) == 0) {
      port_ = LocalPort(s_);
    }
  }
  ~RawListener() {
    if (s_ >= 0) close(s_);
  }
  RawListener(const RawListener &) = delete;
  RawListener &operator=(const RawListener &) = delete;

  int port() const { return port_; }
  std::string address() const { return LoopbackAddress(port_); }
  // Waits up to timeout_ms for a connection; -1 when none came.
  int Accept(int timeout_ms = 10000) {
    struct pollfd p = {s_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return -1;
    return accept(s_, nullptr, nullptr);
  }

 private:
  int s_ = -1;
  int port_ = -1;
};

// A port on 127.0.0.1 that nothing listens on (bound once, then released).
inline int UnusedPort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int port = -1;
  if (bind(s, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0) {
    port = LocalPort(s);
  }
  close(s);
  return port;
}

// A blocking client socket connected to 127.0.0.1:port (or ::1 when v6), or -1.
inline int RawConnect(int port, bool v6 = false) {
  int s = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  int rc;
  if (v6) {
    struct sockaddr_in6 address;
    memset(&address, 0, sizeof address);
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    rc = connect(s, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
  } else {
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    rc = connect(s, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
  }
  if (rc != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Reads exactly n bytes from a blocking socket, waiting at most timeout_ms for each chunk.
inline std::string ReadExactly(int s, size_t n, int timeout_ms = 10000) {
  std::string out;
  char chunk[4096];
  while (out.size() < n) {
    struct pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) break;
    ssize_t got = recv(s, chunk, std::min(sizeof chunk, n - out.size()), 0);
    if (got <= 0) break;
    out.append(chunk, static_cast<size_t>(got));
  }
  return out;
}

}  // namespace veska_test

#endif  // VESKA_TESTS_SUPPORT_LOOPBACK_H
