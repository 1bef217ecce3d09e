// The console logger: lines to standard output or to a size-limited log file. Output is
// serialised by one mutex, which also covers the size check and the reopen, so lines of
// different threads never interleave and a reopen never cuts a line.
#include "lib/vecommon/stdout_logger.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lib/concurrent/mutex_guard.h"

namespace {

pthread_mutex_t _log_mutex = PTHREAD_MUTEX_INITIALIZER;
char *_log_file = nullptr;     // heap copy of QIVA_LOGFILE; null: standard output
FILE *_log_fp = nullptr;       // null after a failed reopen: output is dropped from then on
unsigned long _log_limit = 0;  // bytes; 0: no limit

constexpr unsigned long kMebibyte = 1048576ul;

unsigned long _parse_limit(const char *text) {
  if (text == nullptr) return 0;
  char *end = nullptr;
  errno = 0;
  long mebibytes = strtol(text, &end, 10);
  if (end == text || mebibytes <= 0) return 0;
  // An overflowing number is far above the cap as well (strtol gives LONG_MAX).
  unsigned long capped = static_cast<unsigned long>(mebibytes);
  if (capped > VE_STDOUT_LOGGER_MAX_LIMIT_MIB) capped = VE_STDOUT_LOGGER_MAX_LIMIT_MIB;
  return capped * kMebibyte;
}

int _stdout_init_module() {
  MutexGuard guard(&_log_mutex);
  if (!guard.locked()) return QIVA_ERR_OSERROR;
  // A refused load may be followed by another attempt: start from a clean state.
  if (_log_fp != nullptr && _log_fp != stdout) fclose(_log_fp);
  free(_log_file);
  _log_file = nullptr;
  _log_fp = nullptr;
  _log_limit = 0;
  int result = QIVA_SUCCESS;
  const char *file = VE_logger_getenv("QIVA_LOGFILE");
  if (file == nullptr) {
    _log_fp = stdout;
  } else if ((_log_file = strdup(file)) == nullptr) {
    result = QIVA_ERR_NOMEM;
  } else if ((_log_fp = fopen(_log_file, "w")) == nullptr) {
    free(_log_file);
    _log_file = nullptr;
    result = QIVA_ERR_INVALID;
  } else {
    _log_limit = _parse_limit(VE_logger_getenv("QIVA_LOGLIMIT"));
  }
  return result;
}

void _stdout_init_file(qiva_file_log_t *) {}

void _stdout_init_function(qiva_function_log_t *) {}

int _stdout_logging(qiva_function_log_t *, qiva_log_level_t) { return 1; }

void _stdout_printf(qiva_function_log_t *, int, qiva_log_level_t, const char *prefix,
                    const char *format, va_list args) {
  MutexGuard guard(&_log_mutex);
  if (!guard.locked()) return;
  if (_log_file != nullptr && _log_limit != 0 && _log_fp != nullptr) {
    long position = ftell(_log_fp);
    // freopen on the same stream empties the file; on failure the stream is gone for good.
    if (position >= 0 && static_cast<unsigned long>(position) >= _log_limit)
      _log_fp = freopen(_log_file, "w", _log_fp);
  }
  if (_log_fp != nullptr) {
    if (prefix != nullptr) fputs(prefix, _log_fp);
    vfprintf(_log_fp, format, args);
    fputc('\n', _log_fp);
    fflush(_log_fp);
  }
}

void *_stdout_function_event(qiva_function_log_t *, int, qiva_function_log_event_t, va_list) {
  return nullptr;
}

}  // namespace

extern "C" const qiva_logger_module_t QIVA_stdout_logger_module = {
    _stdout_init_module,      // reads QIVA_LOGFILE and QIVA_LOGLIMIT
    _stdout_init_file,        // nothing per file
    _stdout_init_function,    // nothing per function
    _stdout_logging,          // every level of every record
    nullptr,                  // no debugging operation: debug output always wanted
    _stdout_printf,           // one line per call
    _stdout_function_event};  // entry and exit are not written

extern "C" void VE_stdout_logger_fork(int take) {
  if (take != 0) {
    pthread_mutex_lock(&_log_mutex);
  } else {
    pthread_mutex_unlock(&_log_mutex);
  }
}
