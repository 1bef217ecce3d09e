// Child-process runner and small file helpers for the logging tests.
#include "support/logging_process.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

extern char **environ;

namespace veska_test {

namespace {

bool starts_with(const std::string &text, const char *prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

std::vector<std::string> child_environment(const ProcessOptions &options) {
  std::vector<std::string> result;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    std::string item(*entry);
    std::string name = item.substr(0, item.find('='));
    if (starts_with(name, "QIVA_") || starts_with(name, "ZELM_")) continue;
    bool removed = false;
    for (const std::string &unset : options.unset_env) removed = removed || unset == name;
    for (const auto &set : options.set_env) removed = removed || set.first == name;
    if (!removed) result.push_back(item);
  }
  for (const auto &set : options.set_env) result.push_back(set.first + "=" + set.second);
  return result;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

// Depth first, so that every directory is empty when its turn comes.
void remove_tree(const std::string &path) {
  nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

ProcessResult run_process(const std::string &program, const std::vector<std::string> &args,
                          const ProcessOptions &options) {
  ProcessResult result;
  TempDir capture;
  std::string out_path = capture.file("stdout");
  std::string err_path = capture.file("stderr");
  std::vector<std::string> env = child_environment(options);
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (std::string &item : env) envp.push_back(&item[0]);
  envp.push_back(nullptr);

  pid_t child = fork();
  if (child == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0) _exit(126);
    dup2(out, 1);
    dup2(err, 2);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  if (child < 0) return result;

  // Poll for the exit, bounded by the time limit.
  int status = 0;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec >= options.timeout_seconds) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      result.timed_out = true;
      break;
    }
    struct timespec pause = {0, 5 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) lines.push_back(line);
  return lines;
}

TempDir::TempDir(const std::string &name) {
  const char *base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/" + name + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempDir::~TempDir() {
  if (!path_.empty()) remove_tree(path_);
}

std::string read_file(const std::string &path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream content;
  content << stream.rdbuf();
  return content.str();
}

}  // namespace veska_test
