#include "support/raw_sink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace veska_test {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

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

}  // namespace veska_test
