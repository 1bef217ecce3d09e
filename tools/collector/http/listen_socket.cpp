// Resolving, binding and describing the HTTP server's listening address.
#include "tools/collector/http/listen_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <unistd.h>

namespace veska {
namespace http {
namespace {

constexpr int kBacklog = 64;

// "HOST:PORT" or "[V6]:PORT" into its parts; the port must be 0 to 65535.
bool _split(const std::string &address, std::string *host, std::string *port) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) return false;
  *host = address.substr(0, colon);
  *port = address.substr(colon + 1);
  if (host->front() == '[') {
    if (host->size() < 3 || host->back() != ']') return false;
    *host = host->substr(1, host->size() - 2);
  }
  if (port->size() > 5) return false;
  for (char c : *port) {
    if (c < '0' || c > '9') return false;
  }
  return atoi(port->c_str()) <= 65535;
}

std::string _describe(const struct sockaddr_storage &bound) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (bound.ss_family == AF_INET6) {
    const auto *v6 = reinterpret_cast<const struct sockaddr_in6 *>(&bound);
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6->sin6_port));
  }
  const auto *v4 = reinterpret_cast<const struct sockaddr_in *>(&bound);
  inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(v4->sin_port));
}

int _bind_one(const struct addrinfo *candidate, std::string *reason) {
  const int fd = socket(candidate->ai_family, candidate->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        candidate->ai_protocol);
  if (fd < 0) {
    *reason = strerror(errno);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, candidate->ai_addr, candidate->ai_addrlen) != 0 || listen(fd, kBacklog) != 0) {
    *reason = strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool is_loopback(const struct sockaddr *address) {
  if (address->sa_family == AF_INET) {
    const auto *v4 = reinterpret_cast<const struct sockaddr_in *>(address);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (address->sa_family == AF_INET6) {
    const auto *v6 = reinterpret_cast<const struct sockaddr_in6 *>(address);
    if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) && v6->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

bool open_listen_socket(const std::string &address, ListenSocket *out, std::string *error) {
  std::string host;
  std::string port;
  if (!_split(address, &host, &port)) {
    *error = "bad HTTP address '" + address + "': expected HOST:PORT";
    return false;
  }
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  struct addrinfo *found = nullptr;
  const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot resolve HTTP address '" + address + "': " + gai_strerror(rc);
    return false;
  }
  std::string reason = "no address";
  int fd = -1;
  for (const struct addrinfo *candidate = found; candidate != nullptr && fd < 0;
       candidate = candidate->ai_next) {
    fd = _bind_one(candidate, &reason);
  }
  freeaddrinfo(found);
  struct sockaddr_storage bound;
  socklen_t length = sizeof bound;
  if (fd >= 0 && getsockname(fd, reinterpret_cast<struct sockaddr *>(&bound), &length) != 0) {
    reason = strerror(errno);
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    *error = "cannot listen for HTTP on '" + address + "': " + reason;
    return false;
  }
  out->fd = fd;
  out->address = _describe(bound);
  out->loopback = is_loopback(reinterpret_cast<const struct sockaddr *>(&bound));
  return true;
}

}  // namespace http
}  // namespace veska
