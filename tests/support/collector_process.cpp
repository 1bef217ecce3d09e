#include "support/collector_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace veska_test {
namespace {

using Clock = std::chrono::steady_clock;

const std::chrono::milliseconds kPollInterval(5);

std::string _read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Clock::time_point _deadline(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

const char *collector_path() { return VESKA_COLLECTOR_PATH; }

std::string bytes_of(const nlohmann::json &value) {
  if (value.is_string()) return value.get<std::string>();
  std::string out;
  if (!value.is_object() || !value.contains("hex")) return "<not bytes>";
  const std::string hex = value["hex"].get<std::string>();
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

CollectorProcess::CollectorProcess()
    : output_path_(folder_.file("records.jsonl")),
      ready_path_(folder_.file("ready")),
      stderr_path_(folder_.file("stderr.txt")) {}

CollectorProcess::~CollectorProcess() {
  if (running()) stop();
}

bool CollectorProcess::start(const std::vector<std::string> &extra_args, const std::string &listen,
                             double timeout_s) {
  if (running()) {
    error_ = "already running";
    return false;
  }
  if (folder_.path().empty()) {
    error_ = "no temporary folder";
    return false;
  }
  unlink(ready_path_.c_str());
  unlink(output_path_.c_str());
  read_offset_ = 0;
  partial_.clear();
  records_.clear();

  std::vector<std::string> args = {collector_path(), "--listen",     listen,     "--output",
                                   output_path_,     "--ready-file", ready_path_};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  std::vector<char *> argv;
  for (std::string &arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t child = -1;
  int rc = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    error_ = std::string("cannot start ") + argv[0] + ": " + strerror(rc);
    return false;
  }
  pid_ = child;
  exit_status_ = -1;

  const Clock::time_point deadline = _deadline(timeout_s);
  for (;;) {
    std::string ready = _read_file(ready_path_);
    if (!ready.empty() && ready.back() == '\n') {
      // "HOST:PORT\n", then "http HOST:PORT\n" when the collector serves HTTP.
      const size_t first_end = ready.find('\n');
      address_ = ready.substr(0, first_end);
      const size_t http = ready.find("\nhttp ");
      http_address_ = http == std::string::npos
                          ? ""
                          : ready.substr(http + 6, ready.find('\n', http + 1) - (http + 6));
      server_ = "tcp:" + address_;
      size_t colon = address_.rfind(':');
      port_ = static_cast<uint16_t>(
          colon == std::string::npos ? 0 : atoi(address_.c_str() + colon + 1));
      return true;
    }
    if (reap(false, 0)) {
      error_ =
          "collector exited with status " + std::to_string(exit_status_) + ": " + stderr_text();
      return false;
    }
    if (Clock::now() >= deadline) {
      error_ = "collector did not write its address in time";
      stop();
      return false;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

void CollectorProcess::read_new_lines() {
  FILE *file = fopen(output_path_.c_str(), "rb");
  if (file == nullptr) return;
  if (fseek(file, static_cast<long>(read_offset_), SEEK_SET) == 0) {
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
      read_offset_ += n;
      partial_.append(chunk, n);
    }
  }
  fclose(file);
  size_t start = 0;
  for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
    nlohmann::json record =
        nlohmann::json::parse(partial_.begin() + static_cast<long>(start),
                              partial_.begin() + static_cast<long>(end), nullptr, false);
    if (!record.is_discarded()) records_.push_back(std::move(record));
  }
  partial_.erase(0, start);
}

CollectorRecords CollectorProcess::records() {
  read_new_lines();
  return records_;
}

CollectorRecords CollectorProcess::records(const std::string &kind) {
  read_new_lines();
  CollectorRecords selected;
  for (const nlohmann::json &record : records_) {
    if (record.value("kind", "") == kind) selected.push_back(record);
  }
  return selected;
}

bool CollectorProcess::wait_for(const std::string &kind, size_t n, double timeout_s) {
  return wait_until(
      [&](const CollectorRecords &all) {
        size_t count = 0;
        for (const nlohmann::json &record : all) {
          if (record.value("kind", "") == kind) ++count;
        }
        return count >= n;
      },
      timeout_s);
}

bool CollectorProcess::wait_until(const std::function<bool(const CollectorRecords &)> &predicate,
                                  double timeout_s) {
  const Clock::time_point deadline = _deadline(timeout_s);
  for (;;) {
    read_new_lines();
    if (predicate(records_)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

bool CollectorProcess::reap(bool block, double timeout_s) {
  if (pid_ <= 0) return true;
  const Clock::time_point deadline = _deadline(timeout_s);
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status)
                                       : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
      pid_ = -1;
      return true;
    }
    if (done < 0) {
      pid_ = -1;
      return true;
    }
    if (!block || Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
}

int CollectorProcess::wait_exit(double timeout_s) {
  if (pid_ <= 0) return exit_status_;
  if (!reap(true, timeout_s)) return -1;
  read_new_lines();
  return exit_status_;
}

int CollectorProcess::stop(double timeout_s) {
  if (pid_ <= 0) return exit_status_;
  kill(pid_, SIGTERM);
  if (!reap(true, timeout_s)) {
    kill(pid_, SIGKILL);
    reap(true, timeout_s);
  }
  read_new_lines();
  return exit_status_;
}

std::string CollectorProcess::stderr_text() const { return _read_file(stderr_path_); }

}  // namespace veska_test
