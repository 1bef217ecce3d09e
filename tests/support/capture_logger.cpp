// The "capture" logger module: found by the front end as QIVA_capture_logger_module in the
// executable's own symbol table (the test targets export their symbols for that).
#include "support/capture_logger.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "private_api.h"

namespace veska_test {
namespace {

std::mutex g_mutex;
std::vector<CapturedRecord> *g_records = new std::vector<CapturedRecord>();
bool g_active = false;

const char *_name_of(qiva_function_log_t *log) {
  return log != nullptr && log->function_name != nullptr ? log->function_name : "";
}

void _add(CapturedRecord record) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_records->push_back(std::move(record));
}

int _capture_init_module(void) {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_active = true;
  return 0;
}
void _capture_init_file(qiva_file_log_t *) {}
void _capture_init_function(qiva_function_log_t *) {}

void _capture_printf(qiva_function_log_t *log, int, qiva_log_level_t level, const char *prefix,
                     const char *format, va_list args) {
  char text[4096];
  vsnprintf(text, sizeof(text), format, args);
  _add({CaptureKind::kLine, _name_of(log), prefix != nullptr ? prefix : "", text,
        static_cast<int>(level), 0});
}

void *_capture_function_event(qiva_function_log_t *log, int, qiva_function_log_event_t event,
                              va_list args) {
  if (event == QIVA_FUNCTION_EVENT_ENTER) {
    _add({CaptureKind::kEnter, _name_of(log), "", "", 0, 0});
  } else if (event == QIVA_FUNCTION_EVENT_EXIT) {
    _add({CaptureKind::kExit, _name_of(log), "", "", 0, va_arg(args, int)});
  }
  return nullptr;
}

}  // namespace
}  // namespace veska_test

extern "C" {
__attribute__((visibility("default")))
qiva_logger_module_t QIVA_capture_logger_module = {veska_test::_capture_init_module,
                                                   veska_test::_capture_init_file,
                                                   veska_test::_capture_init_function,
                                                   nullptr,
                                                   nullptr,
                                                   veska_test::_capture_printf,
                                                   veska_test::_capture_function_event};
}

namespace veska_test {
namespace {

// Selected while the executable loads, before any test can log: the process's logger is chosen
// once, and function records first used without a logger stay silent for the life of the
// process, so a later selection could miss lines (or lose to the default logger).
[[maybe_unused]] const int g_selected_at_load = QIVA_log_set_logger(":capture");

}  // namespace

bool capture_logger_active() {
  std::lock_guard<std::mutex> guard(g_mutex);
  return g_active;
}

bool install_capture_logger() {
  clear_captured();
  if (!capture_logger_active()) {
    ADD_FAILURE() << "the capture logger is not the process's logger (selection at load gave "
                  << g_selected_at_load << "): its lines cannot be checked";
  }
  return capture_logger_active();
}

void clear_captured() {
  std::lock_guard<std::mutex> guard(g_mutex);
  g_records->clear();
}

std::vector<CapturedRecord> captured_records() {
  std::lock_guard<std::mutex> guard(g_mutex);
  return *g_records;
}

size_t count_captured(const std::string &needle) {
  size_t n = 0;
  for (const CapturedRecord &r : captured_records()) {
    n += r.kind == CaptureKind::kLine && (r.prefix + r.text).find(needle) != std::string::npos;
  }
  return n;
}

std::vector<std::string> captured_lines_between(const std::string &function) {
  std::vector<std::string> lines;
  bool inside = false;
  for (const CapturedRecord &r : captured_records()) {
    if (r.function != function) continue;
    if (r.kind == CaptureKind::kEnter && !inside) {
      inside = true;
    } else if (r.kind == CaptureKind::kExit && inside) {
      break;
    } else if (r.kind == CaptureKind::kLine && inside) {
      lines.push_back(r.prefix + r.text);
    }
  }
  return lines;
}

std::vector<std::string> captured_lines_of(const std::string &function) {
  std::vector<std::string> lines;
  for (const CapturedRecord &r : captured_records()) {
    if (r.kind == CaptureKind::kLine && r.function == function) lines.push_back(r.prefix + r.text);
  }
  return lines;
}

}  // namespace veska_test
