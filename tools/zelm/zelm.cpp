// A stand-in for the host tracing library, for machines that do not have it. It implements
// the seven functions the host tracing logger calls, decides each function's class mask from
// ZELM_CLASS_MASK and writes one line per event or detail to ZELM_TRACE_FILE ("-": stderr; unset:
// off). See README.md for the variables and the line format.
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lib/vecommon/zelm1_logger.h"

#define ZELM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// One "name=mask" item of ZELM_CLASS_MASK.
struct FunctionMask {
  char *name;
  uint32_t mask;
};

pthread_once_t setup_once = PTHREAD_ONCE_INIT;
pthread_mutex_t output_mutex = PTHREAD_MUTEX_INITIALIZER;
FILE *output = nullptr;
uint32_t default_mask = 0xFFFFFFFFu;
FunctionMask *function_masks = nullptr;
size_t function_mask_count = 0;

bool _parse_hex(const char *text, size_t length, uint32_t *value) {
  if (length == 0 || length > 10) return false;
  char digits[11];
  memcpy(digits, text, length);
  digits[length] = '\0';
  char *end = nullptr;
  unsigned long parsed = strtoul(digits, &end, 16);
  if (*end != '\0' || parsed > 0xFFFFFFFFul) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

// "[default][,name=mask]...": masks in hexadecimal, an optional 0x accepted; a malformed item
// is reported once on stderr and ignored.
void _parse_masks(const char *spec) {
  size_t items = 1;
  for (const char *p = spec; *p != '\0'; ++p) items += *p == ',';
  function_masks = static_cast<FunctionMask *>(calloc(items, sizeof(FunctionMask)));
  if (function_masks == nullptr) return;
  const char *item = spec;
  while (*item != '\0') {
    const char *end = strchr(item, ',');
    size_t length = end != nullptr ? static_cast<size_t>(end - item) : strlen(item);
    const char *equals = static_cast<const char *>(memchr(item, '=', length));
    const char *hex = equals != nullptr ? equals + 1 : item;
    size_t hex_length = length - static_cast<size_t>(hex - item);
    if (hex_length > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) {
      hex += 2;
      hex_length -= 2;
    }
    uint32_t mask;
    if (length == 0) {
      // empty item: nothing to do
    } else if (!_parse_hex(hex, hex_length, &mask) || equals == item) {
      fprintf(stderr, "zelm: ignoring malformed ZELM_CLASS_MASK item '%.*s'\n",
              static_cast<int>(length), item);
    } else if (equals == nullptr) {
      default_mask = mask;
    } else {
      size_t name_length = static_cast<size_t>(equals - item);
      char *name = static_cast<char *>(malloc(name_length + 1));
      if (name != nullptr) {
        memcpy(name, item, name_length);
        name[name_length] = '\0';
        function_masks[function_mask_count].name = name;
        function_masks[function_mask_count].mask = mask;
        ++function_mask_count;
      }
    }
    if (end == nullptr) break;
    item = end + 1;
  }
}

// Tracing is off until ZELM_TRACE_FILE names where it goes ("-" for standard error): an
// instrumented program that merely finds this stand-in beside the library stays quiet, and with
// every class masked off the logger's level tests answer from the cached mask.
void _setup() {
  const char *path = getenv("ZELM_TRACE_FILE");
  if (path == nullptr || path[0] == '\0') {
    default_mask = 0;
    return;
  }
  const char *masks = getenv("ZELM_CLASS_MASK");
  if (masks != nullptr) _parse_masks(masks);
  if (strcmp(path, "-") == 0) {
    output = stderr;
    return;
  }
  output = fopen(path, "a");
  if (output == nullptr) {
    fprintf(stderr, "zelm: cannot open ZELM_TRACE_FILE '%s'\n", path);
    default_mask = 0;
    function_mask_count = 0;
  }
}

uint32_t _mask_for(const char *function_name) {
  if (function_name != nullptr)
    for (size_t i = 0; i < function_mask_count; ++i)
      if (strcmp(function_masks[i].name, function_name) == 0) return function_masks[i].mask;
  return default_mask;
}

const char *_base_name(const char *path) {
  if (path == nullptr) return "?";
  const char *slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// A line under construction between ZELM1_BeginFormat and ZELQ1_EndFormat.
struct FormatHandle {
  const ZELM1_EPB *epb;
  int line;
  char *text;
  size_t length;
  size_t capacity;
};

void _append(FormatHandle *handle, const char *format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int needed = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0) return;
  size_t want = handle->length + static_cast<size_t>(needed) + 1;
  if (want > handle->capacity) {
    size_t capacity = handle->capacity * 2 > want ? handle->capacity * 2 : want;
    char *grown = static_cast<char *>(realloc(handle->text, capacity));
    if (grown == nullptr) return;
    handle->text = grown;
    handle->capacity = capacity;
  }
  vsnprintf(handle->text + handle->length, handle->capacity - handle->length, format, args);
  handle->length += static_cast<size_t>(needed);
}

// One line: "ZELM1 <component> <function> <file>:<line> <kind>[ <detail>]".
void _write_line(const ZELM1_EPB *epb, int line, const char *kind, const char *detail) {
  pthread_once(&setup_once, _setup);
  const ZELM1_CUB *cub = epb->Cub;
  if (output == nullptr) return;
  pthread_mutex_lock(&output_mutex);
  fprintf(output, "ZELM1 %s %s %s:%d %s%s%s\n", cub != nullptr && cub->Comp ? cub->Comp : "*",
          epb->Id != nullptr ? epb->Id : "?", _base_name(cub != nullptr ? cub->File : nullptr),
          line, kind, detail != nullptr ? " " : "", detail != nullptr ? detail : "");
  fflush(output);
  pthread_mutex_unlock(&output_mutex);
}

}  // namespace

ZELM_EXPORT uint32_t ZELM1_Sync(ZELM1_EPB *epb) {
  pthread_once(&setup_once, _setup);
  uint32_t mask = _mask_for(epb->Id);
  // Class before SyncLocal: a reader that sees the new counter value sees the new mask.
  __atomic_store_n(&epb->Class, mask, __ATOMIC_RELAXED);
  __atomic_store_n(&epb->SyncLocal, __atomic_load_n(epb->Sync, __ATOMIC_ACQUIRE), __ATOMIC_RELEASE);
  return mask;
}

ZELM_EXPORT void ZELM1_Event(ZELM1_EPB *epb, int line, int kind, int value) {
  char number[16];
  snprintf(number, sizeof number, "%d", value);
  if (kind == ZELM1EVENT_Entry)
    _write_line(epb, line, "ENTRY", nullptr);
  else if (kind == ZELM1EVENT_ExitFunction)
    _write_line(epb, line, "EXIT", number);
  else
    _write_line(epb, line, "EVENT", number);
}

ZELM_EXPORT int ZELM1_BeginFormat(ZELM1_EPB *epb, int line, int kind, void **handle) {
  if (handle == nullptr || epb == nullptr) return 1;
  if (kind != ZELM1_FORMAT_KIND_TEXT) return 2;  // the only data kind this stand-in knows
  auto *format = static_cast<FormatHandle *>(calloc(1, sizeof(FormatHandle)));
  if (format == nullptr) return 3;
  format->epb = epb;
  format->line = line;
  *handle = format;
  return 0;
}

ZELM_EXPORT void ZELQ1_PrintFormat(void *handle, const char *format, ...) {
  if (handle == nullptr || format == nullptr) return;
  va_list args;
  va_start(args, format);
  _append(static_cast<FormatHandle *>(handle), format, args);
  va_end(args);
}

ZELM_EXPORT void ZELQ1_ProcessFormat(void *handle, const char *format, va_list args) {
  if (handle == nullptr || format == nullptr) return;
  _append(static_cast<FormatHandle *>(handle), format, args);
}

ZELM_EXPORT void ZELQ1_EndFormat(void *handle) {
  auto *format = static_cast<FormatHandle *>(handle);
  if (format == nullptr) return;
  _write_line(format->epb, format->line, "DETAIL", format->text != nullptr ? format->text : "");
  free(format->text);
  free(format);
}

ZELM_EXPORT int ZELM1_Format(ZELM1_EPB *epb, int line, int kind, const char *format, ...) {
  void *handle = nullptr;
  int status = ZELM1_BeginFormat(epb, line, kind, &handle);
  if (status != 0) return status;
  va_list args;
  va_start(args, format);
  ZELQ1_ProcessFormat(handle, format, args);
  va_end(args);
  ZELQ1_EndFormat(handle);
  return 0;
}
