// Shared pieces of the logging tests: where the helper programs are, and how to run one.
#ifndef VESKA_TESTS_LOGGING_LOGGING_TEST_UTIL_H
#define VESKA_TESTS_LOGGING_LOGGING_TEST_UTIL_H

#include <algorithm>
#include <string>
#include <vector>

#include "support/logging_process.h"

namespace veska_test {

// Paths filled in by CMake.
inline const std::string kHelper = LOGGING_HELPER_PATH;
inline const std::string kKembHelper = LOGGING_KEMB_HELPER_PATH;
inline const std::string kLibraryDir = LOGGING_LIBRARY_DIR;

inline ProcessResult run_helper(const std::vector<std::string> &steps,
                                const std::vector<std::pair<std::string, std::string>> &env,
                                const std::string &program = kHelper) {
  ProcessOptions options;
  options.set_env = env;
  return run_process(program, steps, options);
}

// The lines of text that do not come from the helper's own reports.
inline std::vector<std::string> logger_lines(const std::string &text) {
  std::vector<std::string> result;
  for (const std::string &line : split_lines(text))
    if (line.compare(0, 8, "helper: ") != 0) result.push_back(line);
  return result;
}

inline bool contains(const std::vector<std::string> &lines, const std::string &line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

inline size_t count_containing(const std::vector<std::string> &lines, const std::string &part) {
  return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string &l) {
    return l.find(part) != std::string::npos;
  }));
}

// The internal debug channel's reports with their "[QIVA_LOGGER_DEBUG path:line] " header
// removed; a line without a well-formed header is kept whole, so that a test sees it.
inline std::vector<std::string> debug_reports(const std::string &err) {
  std::vector<std::string> result;
  for (const std::string &line : split_lines(err)) {
    const std::string head = "[QIVA_LOGGER_DEBUG ";
    size_t close = line.find("] ");
    size_t colon = line.rfind(':', close);
    bool well_formed =
        line.compare(0, head.size(), head) == 0 && close != std::string::npos &&
        colon != std::string::npos && colon > head.size() &&
        line.substr(head.size(), colon - head.size()).find("ve_logging.cpp") != std::string::npos &&
        colon + 1 < close && line.find_first_not_of("0123456789", colon + 1) == close;
    result.push_back(well_formed ? line.substr(close + 2) : line);
  }
  return result;
}

}  // namespace veska_test

#endif  // VESKA_TESTS_LOGGING_LOGGING_TEST_UTIL_H
