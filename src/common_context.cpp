/*
 * The "ServerAddress" context item: the host's numeric addresses, IPv4 first, collected once
 * per process on first use and only read afterwards.
 */
#include "src/common_context.h"

#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include "lib/concurrent/once.h"
#include "lib/vecommon/hostinfo.h"
#include "lib/vecommon/ve_logging.h"

VE_LOG_FILE("veska");

namespace {

constexpr size_t kHostnameMax = 255;
constexpr ve_uint32_t kHostaddrBufferSize = 65535;

/* Written only by _get_hostinfo, under _get_hostinfo_once; read-only afterwards. */
char _hostname[kHostnameMax + 1];
char _hostaddr_value[kHostaddrBufferSize];
/* size counts the text without its terminator; 0 while (or for ever if) nothing is known. */
qiva_values_list_t _hostaddr = {nullptr, "ServerAddress",
                                reinterpret_cast<const qiva_byte_t *>(_hostaddr_value), 0, 0};
ve_once_t _get_hostinfo_once = VE_ONCE_INIT;

/* 1 when text[0, length) equals one of the comma-separated addresses in list[0, list_size). */
bool _already_listed(const char *list, ve_uint32_t list_size, const char *text, size_t length) {
  ve_uint32_t start = 0;
  while (start < list_size) {
    ve_uint32_t end = start;
    while (end < list_size && list[end] != ',') ++end;
    if (end - start == length && memcmp(list + start, text, length) == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

/* Appends the host's addresses of one family to the text, each followed by ",". 0, 25 when
 * the name does not resolve, 24 when the buffer is full. */
static int _append_addresses(const char *hostname, int family) {
  VE_LOG_ENTER("_append_addresses");
  struct addrinfo hints;
  memset(&hints, 0, sizeof(hints));
  hints.ai_flags = AI_ADDRCONFIG;
  hints.ai_family = family;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  struct addrinfo *results = nullptr;
  if (getaddrinfo(hostname, nullptr, &hints, &results) != 0) {
    VE_LOG_DEBUG(QIVA_LOG_DETAIL, "getaddrinfo failed (%s, %d)", hostname, family);
    VE_RETURN(QIVA_ERR_OSERROR);
  }

  int status = 0;
  for (struct addrinfo *result = results; result != nullptr && status == 0;
       result = result->ai_next) {
    if (result->ai_addr == nullptr) continue;
    char *text = _hostaddr_value + _hostaddr.size;
    ve_uint32_t room = kHostaddrBufferSize - _hostaddr.size;
    // With no room for a character and its terminator the resolver would write nothing and
    // report success, leaving stale bytes (or none at all) at text: treat it as the overflow
    // it is.
    int rc = room < 2 ? EAI_OVERFLOW
                      : getnameinfo(result->ai_addr, result->ai_addrlen, text, room, nullptr, 0,
                                    NI_NUMERICHOST);
    if (rc != 0) {
      VE_LOG_DEBUG(QIVA_LOG_DETAIL, "getnameinfo failed: %d (%s)", rc, gai_strerror(rc));
      if (rc == EAI_OVERFLOW) status = QIVA_ERR_NOMEM;
      continue;
    }
    size_t length = strlen(text);
    if (_already_listed(_hostaddr_value, _hostaddr.size, text, length)) {
      VE_LOG_DEBUG(QIVA_LOG_DETAIL, "Address was previous found: skipping");
      *text = '\0';
      continue;
    }
    // The terminator written by the resolver sits where the separator goes, and getnameinfo
    // left room for it, so the separator always fits.
    _hostaddr.size = static_cast<ve_uint16_t>(_hostaddr.size + length);
    VE_LOG_DEBUG(QIVA_LOG_DETAIL, "Appended address: %s", text);
    _hostaddr_value[_hostaddr.size] = ',';
    _hostaddr.size = static_cast<ve_uint16_t>(_hostaddr.size + 1);
  }
  freeaddrinfo(results);
  VE_RETURN(status);
}

static void _get_hostinfo(void) {
  VE_LOG_ENTER("_get_hostinfo");
  if (QIVA_hostname(_hostname, kHostnameMax) != 0) VE_RETURN_VOID();
  _hostname[kHostnameMax] = '\0';
  if (_append_addresses(_hostname, AF_INET) == 0) _append_addresses(_hostname, AF_INET6);
  if (_hostaddr.size != 0 && _hostaddr_value[_hostaddr.size - 1] == ',') {
    _hostaddr.size = static_cast<ve_uint16_t>(_hostaddr.size - 1);
  }
  // size is at most 65534 here: the last character written was a separator, now dropped.
  if (_hostaddr.size < kHostaddrBufferSize) _hostaddr_value[_hostaddr.size] = '\0';
  VE_RETURN_VOID();
}

extern "C" int VE_common_context(qiva_values_list_t *context, ve_uint32_t *count) {
  VE_LOG_ENTER("VE_common_context");
  if (context == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  VE_once(&_get_hostinfo_once, _get_hostinfo);
  if (_hostaddr.size != 0) {
    *context = _hostaddr;
    if (count != nullptr) *count = 1;
  }
  VE_RETURN(QIVA_SUCCESS);
}
