// A program the logging tests start with a chosen environment: the logger selection happens
// once per process, so every case needs a process of its own. Its arguments are steps, run in
// order; its own reports go to standard output as "helper: ..." lines.
//
//   set SPEC     QIVA_log_set_logger(SPEC) ("-" for null); reports the result
//   work         a logging function: entry, a detail, a catalogued message, plain text, exit
//   quiet        another logging function (for per-function class masks)
//   masked       a function whose record has event mask 0, with one detail line
//   time         QIVA_time (its record has event mask 0)
//   levels       reports QIVA_logging and QIVA_debugging for levels 0 to 10
//   fill N W     N plain lines of W characters, numbered
//   nullmsg      QIVA_log_msg with a message id that has no text, and a null format
//   getenv NAME  reports VE_logger_getenv(NAME)
//   kemb         reports kemb00's value count after the dump
//   threads N    N threads run "work" 50 times each, all starting at once
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "private_api.h"

VE_LOG_FILE("helpertest");

namespace {

void report(const char *format, ...) __attribute__((format(printf, 1, 2)));
void report(const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("helper: ", stdout);
  vfprintf(stdout, format, args);
  fputc('\n', stdout);
  va_end(args);
  fflush(stdout);
}

int helper_work(int x) {
  VE_LOG_ENTER("helper_work");
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "detail %d", x);
  VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_TRANSPORT_CONNECT_FAILED, "tcp:127.0.0.1:1");
  VE_LOG_PRINTF(QIVA_LOG_DETAIL, "plain %s", "text");
  VE_RETURN(x + 1);
}

void helper_quiet() {
  VE_LOG_ENTER("helper_quiet");
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "quiet detail");
  VE_RETURN_VOID();
}

void helper_masked() {
  VE_LOG_ENTER_MASKED("helper_masked", 0u);
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "masked detail");
  VE_RETURN_VOID();
}

void helper_levels() {
  VE_LOG_ENTER("helper_levels");
  char logging[64] = "";
  char debugging[64] = "";
  for (int level = 0; level <= 10; ++level) {
    qiva_log_level_t l = static_cast<qiva_log_level_t>(level);
    snprintf(logging + strlen(logging), sizeof logging - strlen(logging), "%s%d",
             level != 0 ? " " : "", QIVA_logging(&QIVA_FUNCTION_LOG, __LINE__, l));
    snprintf(debugging + strlen(debugging), sizeof debugging - strlen(debugging), "%s%d",
             level != 0 ? " " : "", QIVA_debugging(&QIVA_FUNCTION_LOG, __LINE__, l));
  }
  report("logging %s", logging);
  report("debugging %s", debugging);
  VE_RETURN_VOID();
}

void helper_fill(int count, int width) {
  VE_LOG_ENTER("helper_fill");
  char *line = static_cast<char *>(malloc(static_cast<size_t>(width) + 1));
  if (line == nullptr) VE_RETURN_VOID();
  for (int i = 1; i <= count; ++i) {
    memset(line, 'x', static_cast<size_t>(width));
    line[width] = '\0';
    char number[16];
    int length = snprintf(number, sizeof number, "line %05d ", i);
    memcpy(line, number,
           static_cast<size_t>(length) < static_cast<size_t>(width) ? static_cast<size_t>(length)
                                                                    : static_cast<size_t>(width));
    VE_LOG_PRINTF(QIVA_LOG_DETAIL, "%s", line);
  }
  free(line);
  VE_RETURN_VOID();
}

void helper_nullmsg() {
  VE_LOG_ENTER("helper_nullmsg");
  VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MESSAGE_ID_COUNT);
  QIVA_log_printf(&QIVA_FUNCTION_LOG, __LINE__, QIVA_LOG_ERROR, nullptr);
  QIVA_log_debug(&QIVA_FUNCTION_LOG, __LINE__, QIVA_LOG_ERROR, nullptr);
  VE_RETURN_VOID();
}

pthread_barrier_t start_barrier;

void *thread_work(void *) {
  // All threads make their first logging call together, so they race for the selection.
  pthread_barrier_wait(&start_barrier);
  for (int i = 0; i < 50; ++i) helper_work(i);
  return nullptr;
}

void helper_threads(int count) {
  pthread_t threads[16];
  if (count < 1 || count > 16) return;
  pthread_barrier_init(&start_barrier, nullptr, static_cast<unsigned>(count));
  for (int i = 0; i < count; ++i) pthread_create(&threads[i], nullptr, thread_work, nullptr);
  for (int i = 0; i < count; ++i) pthread_join(threads[i], nullptr);
  pthread_barrier_destroy(&start_barrier);
  report("threads done");
}

}  // namespace

#ifdef LOGGING_HELPER_OWN_KEMB
// This build of the helper brings its own build-information record, which takes precedence
// over the library's in the global scope. HELPER_KEMB_COUNT sets its value count ("none":
// kemb00 gives no record).
extern "C" void kemb00(kemb_values_t **values) {
  static char *texts[20];
  static kemb_values_t record;
  const char *count = getenv("HELPER_KEMB_COUNT");
  if (count != nullptr && strcmp(count, "none") == 0) {
    *values = nullptr;
    return;
  }
  for (int i = 0; i < 20; ++i) {
    static char storage[20][16];
    snprintf(storage[i], sizeof storage[i], "value-%d", i);
    texts[i] = storage[i];
  }
  if (record.valInfo == nullptr) record.valInfoCount = count != nullptr ? atoi(count) : 20;
  record.valInfo = texts;
  *values = &record;
}
#endif

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i) {
    const char *step = argv[i];
    if (strcmp(step, "set") == 0 && i + 1 < argc) {
      const char *spec = argv[++i];
      report("set_logger %d", QIVA_log_set_logger(strcmp(spec, "-") == 0 ? nullptr : spec));
    } else if (strcmp(step, "work") == 0) {
      report("work %d", helper_work(42));
    } else if (strcmp(step, "quiet") == 0) {
      helper_quiet();
    } else if (strcmp(step, "masked") == 0) {
      helper_masked();
    } else if (strcmp(step, "time") == 0) {
      qiva_time_t now = {0, 0};
      report("time %s", QIVA_time(&now) == &now && now.sec != 0 ? "ok" : "failed");
    } else if (strcmp(step, "levels") == 0) {
      helper_levels();
    } else if (strcmp(step, "fill") == 0 && i + 2 < argc) {
      int count = atoi(argv[i + 1]);
      int width = atoi(argv[i + 2]);
      i += 2;
      helper_fill(count, width);
    } else if (strcmp(step, "nullmsg") == 0) {
      helper_nullmsg();
    } else if (strcmp(step, "getenv") == 0 && i + 1 < argc) {
      const char *value = VE_logger_getenv(argv[++i]);
      report("getenv %s", value != nullptr ? value : "(null)");
    } else if (strcmp(step, "threads") == 0 && i + 1 < argc) {
      helper_threads(atoi(argv[++i]));
    } else if (strcmp(step, "kemb") == 0) {
      kemb_values_t *values = nullptr;
      kemb00(&values);
      report("kemb %d", values != nullptr ? static_cast<int>(values->valInfoCount) : -1);
    } else {
      report("unknown step %s", step);
      return 2;
    }
  }
  return 0;
}
