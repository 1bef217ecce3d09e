// A logger module that keeps every line written through it in memory, so that tests can count
// the library's messages. It is found in the test executable's own symbols, so the executable
// must be linked with ENABLE_EXPORTS.
#ifndef VESKA_TESTS_SUPPORT_CLIENT_CAPTURE_LOGGER_H
#define VESKA_TESTS_SUPPORT_CLIENT_CAPTURE_LOGGER_H

#include <cstddef>
#include <string>
#include <vector>

namespace veska_test {

// Starts a fresh capture: drops the lines kept so far. The module becomes the process's logger
// while the executable loads (QIVA_log_set_logger(":clientcapture")); when it is not active,
// this records a test failure and returns false, so no check on its lines passes unnoticed.
bool install_capture_logger();

// Every line so far, as "function|level|prefix+text".
std::vector<std::string> captured_lines();
// Lines that contain needle.
size_t count_captured(const std::string &needle);
void clear_captured();

}  // namespace veska_test

#endif  // VESKA_TESTS_SUPPORT_CLIENT_CAPTURE_LOGGER_H
