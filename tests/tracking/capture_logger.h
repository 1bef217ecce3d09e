// A logger module of the test executables' own, "capture", that records every line and
// function event in memory so tests can assert the exact texts the library writes.
#ifndef VESKA_TESTS_TRACKING_CAPTURE_LOGGER_H
#define VESKA_TESTS_TRACKING_CAPTURE_LOGGER_H

#include <string>
#include <vector>

#include "private_api.h"

namespace capture {

enum class Kind { kLine, kEnter, kExit };

struct Record {
  Kind kind;
  std::string function;  // the function log name
  std::string prefix;    // the line's prefix ("" when none)
  std::string text;      // the formatted line without its prefix
  int level = 0;
  int result = 0;  // exit events only
};

// Selects the module for the process; false (so the test should skip) when the logging front
// end cannot load it. Must run before the first logging call of the process.
bool install();
void clear();
std::vector<Record> records();
// The lines written between the first entry event of function and the exit event that
// follows it, by that function's record only.
std::vector<std::string> lines_between(const std::string &function);
// The lines (prefix included) written under function's record.
std::vector<std::string> lines_of(const std::string &function);

}  // namespace capture

#endif  // VESKA_TESTS_TRACKING_CAPTURE_LOGGER_H
