// A loopback TCP listener that accepts one connection and keeps every byte it receives, for
// tests that check the exact bytes a client writes without a decoder in between.
#ifndef VESKA_TESTS_SUPPORT_RAW_SINK_H
#define VESKA_TESTS_SUPPORT_RAW_SINK_H

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace veska_test {

class RawSink {
 public:
  RawSink() = default;
  RawSink(const RawSink &) = delete;
  RawSink &operator=(const RawSink &) = delete;
  ~RawSink();
  // Listens on 127.0.0.1 on a port the system picks; false when it cannot.
  bool start();
  const std::string &server() const { return server_; }  // "tcp:127.0.0.1:PORT"
  // Waits (bounded) until the peer has closed its connection; the bytes received so far.
  std::vector<unsigned char> wait_closed(int seconds);

 private:
  void run();
  int listener_ = -1;
  std::string server_;
  std::thread thread_;
  std::vector<unsigned char> bytes_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> stop_{false};
};

}  // namespace veska_test

#endif  // VESKA_TESTS_SUPPORT_RAW_SINK_H
