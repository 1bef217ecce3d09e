// Result codes turned into text, and the system's error text in its thread-safe form.
#include <errno.h>
#include <string.h>

#include "types.h"

namespace {

// strerror_r comes in two shapes: the XSI one returns an int and fills the buffer, the GNU
// one returns a pointer that may or may not be the buffer. Overloads pick the right handling.
[[maybe_unused]] const char *_system_error_text(int result, const char *buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char *_system_error_text(const char *result, const char *) {
  return result != nullptr ? result : "Unknown error";
}

// The catalogue decides which number each result code has: every QIVA_ERR_ define must equal
// the code of the message of the same name, and every code in the catalogue must have its
// define, so that a number changed in one place alone does not compile.
#define VE_CODE_OF_(id, enumerator, identifier, text, code) code,
constexpr int kCatalogueCodes[] = {QIVA_MESSAGE_CATALOGUE(VE_CODE_OF_)};
#undef VE_CODE_OF_
constexpr int _catalogued_codes() {
  int count = 0;
  for (int code : kCatalogueCodes) count += code >= 0 ? 1 : 0;
  return count;
}

// clang-format off
#define VE_CODE_AGREES_(name)                                        \
  static_assert(kCatalogueCodes[QIVA_MSG_##name] == QIVA_ERR_##name, \
                "QIVA_ERR_" #name " differs from the message catalogue");
#define VE_RESULT_CODES_(X)                                                                     \
  X(Z_PRAXEN_SUBSYS_NOT_CREATED) X(Z_PRAXEN_INVALID_CONF_TOKEN) X(Z_PRAXEN_SUBSYS_INACTIVE)     \
  X(Z_DISPATCHER_UNAVAILABLE) X(Z_NO_STORAGE) X(Z_NO_ASID) X(Z_NO_COURIER) X(Z_OSERROR)         \
  X(INVALID) X(NOTIMPL) X(TRANSPORT) X(NOMEM) X(OSERROR) X(LOGIC) X(AGAIN) X(TIMEDOUT)          \
  X(EVENT_INTERNAL) X(EVENT_INVALID_EVENT_BLOCK_ADDRESS) X(EVENT_INVALID_EVENT_TYPE)            \
  X(EVENT_INVALID_TIMESTAMP) X(EVENT_INVALID_TID_LENGTH) X(EVENT_INVALID_TID_FLAG)              \
  X(EVENT_INVALID_TID_ADDRESS) X(EVENT_INVALID_HLINK_LENGTH) X(EVENT_INVALID_HLINK_FLAG)        \
  X(EVENT_INVALID_HLINK_CALLER) X(EVENT_INVALID_HLINK_ADDRESS) X(EVENT_INVALID_VLINK_LENGTH)    \
  X(EVENT_INVALID_VLINK_FLAG) X(EVENT_INVALID_VLINK_CALLER) X(EVENT_INVALID_VLINK_ADDRESS)
// The values-list faults: five lists, five kinds each, and every code is the list's base
// plus the kind.
#define VE_FAULT_(list, kind)                                                                   \
  VE_CODE_AGREES_(EVENT_INVALID_##list##_##kind)                                                \
  static_assert(QIVA_ERR_EVENT_##list##_BASE + QIVA_LIST_FAULT_##kind ==                        \
                QIVA_ERR_EVENT_INVALID_##list##_##kind,                                         \
                "QIVA_ERR_EVENT_" #list "_BASE + QIVA_LIST_FAULT_" #kind " is not its code");
#define VE_LIST_AGREES_(list)                                                                   \
  VE_FAULT_(list, NAME) VE_FAULT_(list, VALUE) VE_FAULT_(list, LENGTH) VE_FAULT_(list, FLAG)    \
  VE_FAULT_(list, PAIR)

static_assert(kCatalogueCodes[QIVA_MSG_SUCCESS] == QIVA_SUCCESS, "QIVA_SUCCESS differs");
VE_RESULT_CODES_(VE_CODE_AGREES_)
VE_LIST_AGREES_(TDATA)
VE_LIST_AGREES_(HSTITCH)
VE_LIST_AGREES_(VSTITCH)
VE_LIST_AGREES_(HCONTEXT)
VE_LIST_AGREES_(VCONTEXT)
// QIVA_SUCCESS, the codes above and five lists of five: nothing in the catalogue is unchecked.
#define VE_ONE_(name) +1  // NOLINT(bugprone-macro-parentheses): one term of a sum
static_assert(_catalogued_codes() == 1 VE_RESULT_CODES_(VE_ONE_) + 5 * 5,
              "a catalogued code has no QIVA_ERR_ define");
#undef VE_ONE_
// clang-format on

#undef VE_LIST_AGREES_
#undef VE_FAULT_
#undef VE_RESULT_CODES_
#undef VE_CODE_AGREES_

}  // namespace

extern "C" {

const char *QIVA_strerror(int code) {
  // Messages that no result code maps to carry -1 in the catalogue and never match here.
  struct CodeText {
    int code;
    const char *text;
  };
  static const CodeText kCodeTexts[] = {
#define VE_CODE_TEXT_(id, enumerator, identifier, text, result_code) {result_code, text},
      QIVA_MESSAGE_CATALOGUE(VE_CODE_TEXT_)
#undef VE_CODE_TEXT_
  };
  if (code < 0) return "<unknown>";
  for (const CodeText &entry : kCodeTexts)
    if (entry.code == code) return entry.text;
  return "<unknown>";
}

char *QIVA_last_system_error(char *buffer, int size) {
  if (buffer == nullptr || size <= 0) return buffer;
  int saved = errno;
  char scratch[512];
  scratch[0] = '\0';
  const char *text = _system_error_text(strerror_r(saved, scratch, sizeof scratch), scratch);
  size_t room = static_cast<size_t>(size) - 1;
  size_t length = strlen(text);
  if (length > room) length = room;
  memmove(buffer, text, length);
  buffer[length] = '\0';
  errno = saved;
  return buffer;
}

}  // extern "C"
