// Runs a program in a child process with a chosen environment and collects its output, for
// tests of behaviour that is decided once per process (the logger selection, for instance).
#ifndef VESKA_TESTS_SUPPORT_LOGGING_PROCESS_H
#define VESKA_TESTS_SUPPORT_LOGGING_PROCESS_H

#include <string>
#include <utility>
#include <vector>

namespace veska_test {

struct ProcessResult {
  int exit_code = -1;      // the exit status, or -1 when it did not exit normally
  int term_signal = 0;     // the signal that ended it, 0 when none
  bool timed_out = false;  // killed after the time limit
  std::string out;         // everything written to standard output
  std::string err;         // everything written to standard error
};

struct ProcessOptions {
  // Variables set for the child on top of the parent's environment.
  std::vector<std::pair<std::string, std::string>> set_env;
  // Variables removed; every QIVA_ and ZELM_ variable of the parent is removed anyway, so that
  // a developer's own settings never leak into a test.
  std::vector<std::string> unset_env;
  int timeout_seconds = 60;
};

// Runs program with args (argv[0] is program). Never throws on a child failure; the result
// says what happened.
ProcessResult run_process(const std::string &program, const std::vector<std::string> &args,
                          const ProcessOptions &options);

// Splits text into lines without their "\n".
std::vector<std::string> split_lines(const std::string &text);

// A fresh empty directory under the system's temporary folder ($TMPDIR or /tmp), named
// "<name>-XXXXXX" and removed with its contents when the object goes away; path() is empty
// when it could not be made.
class TempDir {
 public:
  explicit TempDir(const std::string &name = "veska-logging");
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The whole content of a file; empty when it cannot be read.
std::string read_file(const std::string &path);

}  // namespace veska_test

#endif  // VESKA_TESTS_SUPPORT_LOGGING_PROCESS_H
