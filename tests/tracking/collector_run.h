// Runs veska-collector on an ephemeral loopback port for one test and reads back the JSON
// Lines it decodes; and a raw loopback sink that keeps every byte it receives.
#ifndef VESKA_TESTS_TRACKING_COLLECTOR_RUN_H
#define VESKA_TESTS_TRACKING_COLLECTOR_RUN_H

#include <sys/types.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

namespace tracking_test {

class CollectorRun {
 public:
  CollectorRun() = default;
  CollectorRun(const CollectorRun &) = delete;
  CollectorRun &operator=(const CollectorRun &) = delete;
  ~CollectorRun();

  // False when the collector binary is not built or did not come up; reason says why.
  bool start(int event_count, std::string *reason);
  // "tcp:127.0.0.1:PORT", valid after start.
  const std::string &server() const { return server_; }
  // Waits (bounded) for the collector to exit after its event count; false on a time-out,
  // after which the collector is stopped.
  bool wait_exit(int seconds);
  // Every record the collector wrote, in order.
  std::vector<nlohmann::json> records() const;
  std::vector<nlohmann::json> events() const;

 private:
  pid_t pid_ = -1;
  std::string dir_;
  std::string server_;
  int status_ = -1;
};

class RawSink {
 public:
  RawSink() = default;
  RawSink(const RawSink &) = delete;
  RawSink &operator=(const RawSink &) = delete;
  ~RawSink();
  bool start();
  const std::string &server() const { return server_; }
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

// Runs a program to its end (killed after `seconds`); its exit status, or -1.
int run_program(const std::vector<std::string> &args, int seconds);

// The bytes a JSON value B stands for: a string of printable ASCII, or {"hex": "..."}.
std::string bytes_of(const nlohmann::json &value);

}  // namespace tracking_test

#endif  // VESKA_TESTS_TRACKING_COLLECTOR_RUN_H
