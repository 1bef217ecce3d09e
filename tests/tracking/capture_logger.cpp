// The "capture" logger module: found by the front end as QIVA_capture_logger_module in the
// executable's own symbol table (the test targets export their symbols for that).
#include "capture_logger.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>

namespace {

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
std::vector<capture::Record> *g_records = new std::vector<capture::Record>();

const char *name_of(qiva_function_log_t *log) {
  return log != nullptr && log->function_name != nullptr ? log->function_name : "";
}

void add(capture::Record record) {
  pthread_mutex_lock(&g_mutex);
  g_records->push_back(std::move(record));
  pthread_mutex_unlock(&g_mutex);
}

int capture_init_module(void) { return 0; }
void capture_init_file(qiva_file_log_t *) {}
void capture_init_function(qiva_function_log_t *) {}

void capture_printf(qiva_function_log_t *log, int, qiva_log_level_t level, const char *prefix,
                    const char *format, va_list args) {
  char text[4096];
  vsnprintf(text, sizeof(text), format, args);
  add({capture::Kind::kLine, name_of(log), prefix != nullptr ? prefix : "", text,
       static_cast<int>(level), 0});
}

void *capture_function_event(qiva_function_log_t *log, int, qiva_function_log_event_t event,
                             va_list args) {
  if (event == QIVA_FUNCTION_EVENT_ENTER) {
    add({capture::Kind::kEnter, name_of(log), "", "", 0, 0});
  } else if (event == QIVA_FUNCTION_EVENT_EXIT) {
    add({capture::Kind::kExit, name_of(log), "", "", 0, va_arg(args, int)});
  }
  return nullptr;
}

}  // namespace

extern "C" {
qiva_logger_module_t QIVA_capture_logger_module = {
    capture_init_module, capture_init_file,     capture_init_function, nullptr, nullptr,
    capture_printf,      capture_function_event};
}

namespace capture {

bool install() {
  static int result = QIVA_log_set_logger(":capture");
  return result == 0;
}

// Selected while the executable loads, before any test can log: function records first used
// without a logger stay silent for the life of the process.
[[maybe_unused]] const bool g_installed_at_load = install();

void clear() {
  pthread_mutex_lock(&g_mutex);
  g_records->clear();
  pthread_mutex_unlock(&g_mutex);
}

std::vector<Record> records() {
  pthread_mutex_lock(&g_mutex);
  std::vector<Record> copy = *g_records;
  pthread_mutex_unlock(&g_mutex);
  return copy;
}

std::vector<std::string> lines_between(const std::string &function) {
  std::vector<std::string> lines;
  bool inside = false;
  for (const Record &r : records()) {
    if (r.function != function) continue;
    if (r.kind == Kind::kEnter && !inside) {
      inside = true;
    } else if (r.kind == Kind::kExit && inside) {
      break;
    } else if (r.kind == Kind::kLine && inside) {
      lines.push_back(r.prefix + r.text);
    }
  }
  return lines;
}

std::vector<std::string> lines_of(const std::string &function) {
  std::vector<std::string> lines;
  for (const Record &r : records()) {
    if (r.kind == Kind::kLine && r.function == function) lines.push_back(r.prefix + r.text);
  }
  return lines;
}

}  // namespace capture
