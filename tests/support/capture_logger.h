// A logger module of the test executables' own, "capture", that records every line and function
// event in memory so tests can assert the exact texts the library writes. It is found in the
// executable's own symbols, so the executable must be linked with ENABLE_EXPORTS.
#ifndef VESKA_TESTS_SUPPORT_CAPTURE_LOGGER_H
#define VESKA_TESTS_SUPPORT_CAPTURE_LOGGER_H

#include <cstddef>
#include <string>
#include <vector>

namespace veska_test {

enum class CaptureKind { kLine, kEnter, kExit };

struct CapturedRecord {
  CaptureKind kind;
  std::string function;  // the function log name
  std::string prefix;    // the line's prefix ("" when none)
  std::string text;      // the formatted line without its prefix
  int level = 0;
  int result = 0;  // exit events only
};

// Whether the module is the process's logger. It is selected while the executable loads
// (QIVA_log_set_logger(":capture")); false means the test should skip its checks on lines.
bool capture_logger_active();
// Starts a fresh capture: drops what was kept so far. When the module is not active, this
// records a test failure and returns false, so no check on its lines passes unnoticed.
bool install_capture_logger();
void clear_captured();

std::vector<CapturedRecord> captured_records();
// Lines (prefix included) that contain needle.
size_t count_captured(const std::string &needle);
// The lines written between the first entry event of function and the exit event that
// follows it, by that function's record only.
std::vector<std::string> captured_lines_between(const std::string &function);
// The lines (prefix included) written under function's record.
std::vector<std::string> captured_lines_of(const std::string &function);

}  // namespace veska_test

#endif  // VESKA_TESTS_SUPPORT_CAPTURE_LOGGER_H
