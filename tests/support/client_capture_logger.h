// A logger module that keeps every line written through it in memory, so that tests can count
// the library's messages. It is found in the test executable's own symbols, so the executable
// must be linked with ENABLE_EXPORTS.
#ifndef VESKA_TESTS_SUPPORT_CLIENT_CAPTURE_LOGGER_H
#define VESKA_TESTS_SUPPORT_CLIENT_CAPTURE_LOGGER_H

#include <cstddef>
#include <string>
#include <vector>

namespace veska_test {

// Makes the capture logger the process's logger (QIVA_log_set_logger(":clientcapture")).
// True when it is active; false when another logger was selected first or logging is not
// available in this build.
bool install_capture_logger();

// Every line so far, as "function|level|prefix+text".
std::vector<std::string> captured_lines();
// Lines that contain needle.
size_t count_captured(const std::string &needle);
void clear_captured();

}  // namespace veska_test

#endif  // VESKA_TESTS_SUPPORT_CLIENT_CAPTURE_LOGGER_H
