// Result codes turned into text, and the system's error text in its thread-safe form.
#include <errno.h>
#include <string.h>

#include "types.h"

namespace {

// strerror_r comes in two shapes: the XSI one returns an int and fills the buffer, the GNU
// one returns a pointer that may or may not be the buffer. Overloads pick the right handling.
[[maybe_unused]] const char *system_error_text(int result, const char *buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char *system_error_text(const char *result, const char *) {
  return result != nullptr ? result : "Unknown error";
}

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
  const char *text = system_error_text(strerror_r(saved, scratch, sizeof scratch), scratch);
  size_t room = static_cast<size_t>(size) - 1;
  size_t length = strlen(text);
  if (length > room) length = room;
  memmove(buffer, text, length);
  buffer[length] = '\0';
  errno = saved;
  return buffer;
}

}  // extern "C"
