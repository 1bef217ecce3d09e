// The HTTP server's listening socket: HOST:PORT resolved and bound, the address it really got,
// and whether that address can only be reached from this machine.
#ifndef VESKA_TOOLS_COLLECTOR_HTTP_LISTEN_SOCKET_H
#define VESKA_TOOLS_COLLECTOR_HTTP_LISTEN_SOCKET_H

#include <sys/socket.h>

#include <string>

namespace veska {
namespace http {

struct ListenSocket {
  int fd = -1;          // listening, non-blocking, close-on-exec; the caller owns it
  std::string address;  // the bound "HOST:PORT" ("[::1]:PORT" for IPv6), port 0 resolved
  bool loopback = false;
};

// Binds and listens on `address` ("127.0.0.1:0", "[::1]:8080", "localhost:9000"; port 0 lets
// the system choose). False, with the reason in *error, when it cannot.
bool open_listen_socket(const std::string &address, ListenSocket *out, std::string *error);

// True for 127.0.0.0/8, ::1 and IPv4-mapped 127.0.0.0/8; false for anything else, the
// wildcard addresses included.
bool is_loopback(const struct sockaddr *address);

}  // namespace http
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_HTTP_LISTEN_SOCKET_H
