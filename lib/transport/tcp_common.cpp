// TCP address parsing shared by every TCP entry point: "host:port" or "[v6 host]:port" into a
// resolved address list with the port filled in, and the once-per-process socket start-up.
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "lib/transport/tcp-internal.h"
#include "lib/transport/transport.h"
#include "lib/vecommon/ve_logging.h"

VE_LOG_FILE("transport");

namespace {

ve_once_t initialise_sockets_once = VE_ONCE_INIT;
int initialise_sockets_result = 0;

// Linux needs no socket library start-up; this is the one place a platform that does would
// start it.
void _initialise_sockets() { initialise_sockets_result = 0; }

// Reads a port the way "%u" would (leading blanks skipped, one optional sign, trailing text
// ignored), but never wraps: a value above 65535, however long, and any negative value other
// than zero come back as 65536. Returns false when no digit follows the blanks and sign.
bool _parse_port(const char *text, unsigned int *port) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  if (*text < '0' || *text > '9') return false;
  unsigned int value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (value <= 65535) value = value * 10 + static_cast<unsigned int>(*text - '0');
  }
  if (negative && value != 0) value = 65536;
  *port = value > 65535 ? 65536 : value;
  return true;
}

}  // namespace

extern "C" {

int TRANSPORT_TCP_initialise_sockets(void) {
  VE_once(&initialise_sockets_once, _initialise_sockets);
  return initialise_sockets_result;
}

int TRANSPORT_TCP_parse_address(const char *address, struct addrinfo **ai) {
  VE_LOG_ENTER("TRANSPORT_TCP_parse_address");
  int rc = TRANSPORT_TCP_initialise_sockets();
  if (rc != 0) VE_RETURN(rc);
  if (address == nullptr || ai == nullptr) VE_RETURN(QIVA_ERR_INVALID);

  // The caller's string is never modified; the host is cut out of a private copy.
  char *copy = strdup(address);
  if (copy == nullptr) VE_RETURN(QIVA_ERR_NOMEM);

  const char *reason = nullptr;
  char *host = copy;
  char *search_from = copy;
  if (copy[0] == '[') {
    char *bracket = strchr(copy + 1, ']');
    if (bracket == nullptr) {
      reason = "Matching ']' not found in IPv6 address.";
    } else {
      *bracket = '\0';
      host = copy + 1;
      // Anything between the ']' and the next ':' is ignored.
      search_from = bracket + 1;
    }
  }
  unsigned int port = 0;
  if (reason == nullptr) {
    char *colon = strchr(search_from, ':');
    if (colon == nullptr) {
      reason = "Port delimeter ':' not found in address.";
    } else {
      *colon = '\0';
      if (host[0] == '\0') {
        // The resolver refuses an empty host; refusing it here as the resolver would means an
        // unbracketed IPv6 address ("::1:5455") is reported as unresolvable rather than by
        // whatever its remaining colons make of the port.
        VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_OSERROR);
        free(copy);
        VE_RETURN(QIVA_ERR_TRANSPORT);
      }
      if (!_parse_port(colon + 1, &port)) {
        reason = "Failed to parse port as an integer < 65536";
      } else if (port > 65535) {
        reason = "Port is greater than 65535";
      }
    }
  }
  if (reason != nullptr) {
    VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_TRANSPORT_INVALID_ADDRESS, address, reason);
    free(copy);
    VE_RETURN(QIVA_ERR_INVALID);
  }

  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  struct addrinfo *list = nullptr;
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "getaddrinfo(%s, ...)", host);
  if (getaddrinfo(host, nullptr, &hints, &list) != 0) {
    VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_OSERROR);
    free(copy);
    VE_RETURN(QIVA_ERR_TRANSPORT);
  }
  for (struct addrinfo *entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_addr == nullptr) continue;
    if (entry->ai_family == AF_INET) {
      reinterpret_cast<struct sockaddr_in *>(entry->ai_addr)->sin_port =
          htons(static_cast<uint16_t>(port));
    } else if (entry->ai_family == AF_INET6) {
      reinterpret_cast<struct sockaddr_in6 *>(entry->ai_addr)->sin6_port =
          htons(static_cast<uint16_t>(port));
    }
  }
  free(copy);
  *ai = list;
  VE_RETURN(0);
}

int _tcp_check_address(const char *address) {
  VE_LOG_ENTER("_tcp_check_address");
  struct addrinfo *list = nullptr;
  int rc = TRANSPORT_TCP_parse_address(address, &list);
  if (rc == 0) freeaddrinfo(list);
  VE_RETURN(rc);
}

}  // extern "C"
