// Address strings from the input through QIVA_check_address and the TCP module's parser: no
// input may crash, every refusal is one of the documented codes, the caller's string is never
// changed, an accepted address resolves to entries that all carry the parsed port, and the
// text it is shown as parses back to it.
//
// Name resolution is replaced by a stand-in for the whole process: numeric IPv4 and IPv6
// hosts only, so no input ever reaches the system's resolver (or the network).
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/transport/tcp-internal.h"
#include "private_api.h"

namespace {

// One allocation per entry: the record followed by its address.
struct ResolvedEntry {
  struct addrinfo info;
  struct sockaddr_storage address;
};

}  // namespace

extern "C" int getaddrinfo(const char *node, const char *, const struct addrinfo *,
                           struct addrinfo **result) {
  if (node == nullptr || result == nullptr) return EAI_NONAME;
  auto *entry = static_cast<ResolvedEntry *>(calloc(1, sizeof(ResolvedEntry)));
  if (entry == nullptr) return EAI_MEMORY;
  auto *v4 = reinterpret_cast<struct sockaddr_in *>(&entry->address);
  auto *v6 = reinterpret_cast<struct sockaddr_in6 *>(&entry->address);
  if (inet_aton(node, &v4->sin_addr) != 0) {  // the forms a numeric IPv4 lookup accepts
    v4->sin_family = AF_INET;
    entry->info.ai_addrlen = sizeof *v4;
  } else if (inet_pton(AF_INET6, node, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    entry->info.ai_addrlen = sizeof *v6;
  } else {
    free(entry);
    return EAI_NONAME;
  }
  entry->info.ai_family = entry->address.ss_family;
  entry->info.ai_socktype = SOCK_STREAM;
  entry->info.ai_addr = reinterpret_cast<struct sockaddr *>(&entry->address);
  *result = &entry->info;
  return 0;
}

extern "C" void freeaddrinfo(struct addrinfo *list) {
  while (list != nullptr) {
    struct addrinfo *next = list->ai_next;
    free(list);  // the record is the first member of its entry
    list = next;
  }
}

namespace {

bool _documented(int code) {
  return code == QIVA_SUCCESS || code == QIVA_ERR_INVALID || code == QIVA_ERR_TRANSPORT ||
         code == QIVA_ERR_NOMEM;
}

// The text an accepted address is shown as parses back to the same address and port, and a
// buffer of any smaller size gets a terminated text or a refusal, never an overrun.
void _check_formatting(const struct addrinfo *entry) {
  char text[64];
  if (_address_to_string(entry->ai_addr, text, sizeof text) != QIVA_SUCCESS) abort();
  struct addrinfo *again = nullptr;
  if (TRANSPORT_TCP_parse_address(text, &again) != QIVA_SUCCESS) abort();
  if (again->ai_addrlen != entry->ai_addrlen ||
      memcmp(again->ai_addr, entry->ai_addr, entry->ai_addrlen) != 0) {
    abort();
  }
  freeaddrinfo(again);
  for (size_t room = 1; room <= strlen(text); ++room) {
    std::string small(room, '\x7f');
    const int rc = _address_to_string(entry->ai_addr, &small[0], room);
    if (rc == QIVA_SUCCESS && small.find('\0') == std::string::npos) abort();
    if (rc != QIVA_SUCCESS && rc != QIVA_ERR_TRANSPORT) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // "transport NUL address": the address is also given to the TCP parser on its own.
  const std::string input(reinterpret_cast<const char *>(data), size);
  const size_t cut = input.find('\0');
  const std::string transport = cut == std::string::npos ? "tcp" : input.substr(0, cut);
  std::string address = cut == std::string::npos ? input : input.substr(cut + 1);
  address = address.c_str();  // up to its first NUL, as the library sees it
  const std::string original = address;

  const int checked = QIVA_check_address(transport.c_str(), address.c_str());
  struct addrinfo *list = nullptr;
  const int parsed = TRANSPORT_TCP_parse_address(address.c_str(), &list);
  if (!_documented(parsed) || address != original) abort();
  // Transport names are matched without regard to case; "null" accepts any address.
  if (strcasecmp(transport.c_str(), "tcp") == 0) {
    if (checked != parsed) abort();
  } else if (strcasecmp(transport.c_str(), "null") == 0) {
    if (checked != QIVA_SUCCESS) abort();
  } else if (checked != QIVA_ERR_INVALID) {
    abort();  // no such transport
  }
  if (parsed != QIVA_SUCCESS) {
    if (list != nullptr) abort();
    return 0;
  }
  if (list == nullptr) abort();
  // Every entry carries the same port, whatever the family.
  int port = -1;
  for (struct addrinfo *entry = list; entry != nullptr; entry = entry->ai_next) {
    int entry_port = -1;
    if (entry->ai_family == AF_INET) {
      entry_port = ntohs(reinterpret_cast<struct sockaddr_in *>(entry->ai_addr)->sin_port);
    } else if (entry->ai_family == AF_INET6) {
      entry_port = ntohs(reinterpret_cast<struct sockaddr_in6 *>(entry->ai_addr)->sin6_port);
    }
    if (entry_port < 0 || (port >= 0 && entry_port != port)) abort();
    port = entry_port;
  }
  _check_formatting(list);
  freeaddrinfo(list);
  return 0;
}
