#include "support/client_capture_logger.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "private_api.h"

namespace {

std::mutex capture_mutex;
std::vector<std::string> capture_lines;
bool capture_active = false;

int _capture_init_module(void) {
  std::lock_guard<std::mutex> guard(capture_mutex);
  capture_active = true;
  return 0;
}
void _capture_init_file(qiva_file_log_t *) {}
void _capture_init_function(qiva_function_log_t *) {}
void _capture_printf(qiva_function_log_t *function_log, int, qiva_log_level_t level,
                     const char *prefix, const char *format, va_list args) {
  char text[2048];
  va_list copy;
  va_copy(copy, args);
  vsnprintf(text, sizeof text, format, copy);
  va_end(copy);
  std::string line;
  line += function_log != nullptr && function_log->function_name != nullptr
              ? function_log->function_name
              : "?";
  line += "|" + std::to_string(static_cast<int>(level)) + "|";
  if (prefix != nullptr) line += prefix;
  line += text;
  std::lock_guard<std::mutex> guard(capture_mutex);
  capture_lines.push_back(line);
}

}  // namespace

extern "C" {
// Found by name in the process's global scope.
__attribute__((visibility("default")))
qiva_logger_module_t QIVA_clientcapture_logger_module = {_capture_init_module,
                                                         _capture_init_file,
                                                         _capture_init_function,
                                                         nullptr,
                                                         nullptr,
                                                         _capture_printf,
                                                         nullptr};
}

namespace veska_test {

namespace {

// Selected while the executable loads, before any test can log: the process's logger is chosen
// once, and function records first used without a logger stay silent for the life of the
// process, so a later selection could miss lines (or lose to the default logger).
[[maybe_unused]] const int g_selected_at_load = QIVA_log_set_logger(":clientcapture");

}  // namespace

bool install_capture_logger() {
  std::lock_guard<std::mutex> guard(capture_mutex);
  capture_lines.clear();
  if (!capture_active) {
    ADD_FAILURE() << "the capture logger is not the process's logger (selection at load gave "
                  << g_selected_at_load << "): its lines cannot be checked";
  }
  return capture_active;
}

std::vector<std::string> captured_lines() {
  std::lock_guard<std::mutex> guard(capture_mutex);
  return capture_lines;
}

size_t count_captured(const std::string &needle) {
  std::lock_guard<std::mutex> guard(capture_mutex);
  size_t n = 0;
  for (const std::string &line : capture_lines) {
    if (line.find(needle) != std::string::npos) ++n;
  }
  return n;
}

void clear_captured() {
  std::lock_guard<std::mutex> guard(capture_mutex);
  capture_lines.clear();
}

}  // namespace veska_test
