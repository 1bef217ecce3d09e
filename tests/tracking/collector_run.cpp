#include "collector_run.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

extern char **environ;

namespace tracking_test {

namespace {

using Clock = std::chrono::steady_clock;

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

CollectorRun::~CollectorRun() {
  if (pid_ > 0 && status_ < 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (!dir_.empty()) {
    unlink((dir_ + "/ready").c_str());
    unlink((dir_ + "/out.jsonl").c_str());
    rmdir(dir_.c_str());
  }
}

bool CollectorRun::start(int event_count, std::string *reason) {
  const std::string binary = VESKA_COLLECTOR_PATH;
  if (binary.empty() || access(binary.c_str(), X_OK) != 0) {
    *reason = "veska-collector is not built";
    return false;
  }
  char tmpl[] = "/tmp/veska-tracking-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    *reason = "mkdtemp failed";
    return false;
  }
  dir_ = tmpl;
  const std::string ready = dir_ + "/ready", output = dir_ + "/out.jsonl";
  const std::string count = std::to_string(event_count);
  std::vector<std::string> args = {binary, "--listen",    "127.0.0.1:0", "--ready-file",
                                   ready,  "--output",    output,        "--count",
                                   count,  "--idle-exit", "60"};
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, binary.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
    *reason = "cannot start veska-collector";
    return false;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    std::string text = read_file(ready);
    if (!text.empty() && text.back() == '\n') {
      server_ = "tcp:" + text.substr(0, text.size() - 1);
      return true;
    }
    if (waitpid(pid_, &status_, WNOHANG) == pid_) {
      *reason = "veska-collector exited before listening";
      return false;
    }
    usleep(10000);
  }
  *reason = "veska-collector did not write its ready file";
  return false;
}

bool CollectorRun::wait_exit(int seconds) {
  if (pid_ <= 0) return false;
  if (status_ >= 0) return true;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < deadline) {
    if (waitpid(pid_, &status_, WNOHANG) == pid_) return true;
    usleep(10000);
  }
  kill(pid_, SIGTERM);
  waitpid(pid_, &status_, 0);
  return false;
}

std::vector<nlohmann::json> CollectorRun::records() const {
  std::vector<nlohmann::json> out;
  std::istringstream lines(read_file(dir_ + "/out.jsonl"));
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty()) out.push_back(nlohmann::json::parse(line, nullptr, false));
  }
  return out;
}

std::vector<nlohmann::json> CollectorRun::events() const {
  std::vector<nlohmann::json> out;
  for (const nlohmann::json &r : records()) {
    if (r.is_object() && r.value("kind", "") == "event") out.push_back(r);
  }
  return out;
}

RawSink::~RawSink() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) close(listener_);
}

bool RawSink::start() {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listener_ < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
      listen(listener_, 4) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    return false;
  }
  server_ = "tcp:127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
  thread_ = std::thread([this] { run(); });
  return true;
}

void RawSink::run() {
  // One connection is expected; every wait is bounded so the thread ends with the test.
  const auto deadline = Clock::now() + std::chrono::seconds(90);
  int fd = -1;
  while (fd < 0 && !stop_ && Clock::now() < deadline) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 50) == 1) fd = accept(listener_, nullptr, nullptr);
  }
  if (fd < 0) return;
  while (!stop_ && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) != 1) continue;
    unsigned char buf[4096];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) break;
    bytes_.insert(bytes_.end(), buf, buf + n);
  }
  close(fd);
  closed_ = true;
}

std::vector<unsigned char> RawSink::wait_closed(int seconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (!closed_ && Clock::now() < deadline) usleep(10000);
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return bytes_;
}

int run_program(const std::vector<std::string> &args, int seconds) {
  std::vector<std::string> copy = args;
  std::vector<char *> argv;
  for (std::string &a : copy) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (Clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

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

}  // namespace tracking_test
