// Runs veska-collector as a child process for a test and reads what it writes.
//
//   veska_test::CollectorProcess collector;
//   ASSERT_TRUE(collector.start());                 // 127.0.0.1 on a port the system picks
//   config.server = collector.server_c_str();       // "tcp:127.0.0.1:PORT"
//   ... track events ...
//   ASSERT_TRUE(collector.wait_for("event", 3));    // bounded, generous wait
//   auto events = collector.records("event");       // parsed JSON lines, in file order
//   EXPECT_EQ(0, collector.stop());                 // SIGTERM, waitpid: the exit status
//
// Every record has "connection", "peer", "kind" and "offset"; see the collector's --help and
// the report of the client area for the full format. Waits poll the output file every few
// milliseconds until their condition holds or their time bound passes.
#ifndef VESKA_TESTS_SUPPORT_COLLECTOR_PROCESS_H
#define VESKA_TESTS_SUPPORT_COLLECTOR_PROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/logging_process.h"

namespace veska_test {

using CollectorRecords = std::vector<nlohmann::json>;

// The veska-collector executable this build made.
const char *collector_path();

// The bytes a record's byte field stands for: a string of printable ASCII, or {"hex": "..."};
// "<not bytes>" for anything else.
std::string bytes_of(const nlohmann::json &value);

class CollectorProcess {
 public:
  CollectorProcess();
  ~CollectorProcess();  // stops a running collector and removes its files
  CollectorProcess(const CollectorProcess &) = delete;
  CollectorProcess &operator=(const CollectorProcess &) = delete;

  // Starts the collector listening on `listen` with --output and --ready-file in a private
  // temporary folder, plus extra_args, and waits until it has written its bound address.
  // False (with the reason in error()) when it exits or does not come up within timeout_s.
  bool start(const std::vector<std::string> &extra_args = {},
             const std::string &listen = "127.0.0.1:0", double timeout_s = 60);

  const std::string &address() const { return address_; }  // "127.0.0.1:PORT"
  // The HTTP server's "HOST:PORT" when started with --http; empty otherwise.
  const std::string &http_address() const { return http_address_; }
  const std::string &server() const { return server_; }  // "tcp:127.0.0.1:PORT"
  const char *server_c_str() const { return server_.c_str(); }
  uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  const std::string &output_path() const { return output_path_; }  // the --output file
  const std::string &error() const { return error_; }

  // Every complete line written so far, parsed (lines that are not JSON are skipped).
  CollectorRecords records();
  // Only the records whose "kind" is kind.
  CollectorRecords records(const std::string &kind);
  // Waits until at least n records of kind have been written.
  bool wait_for(const std::string &kind, size_t n, double timeout_s = 60);
  // Waits until predicate(records()) is true.
  bool wait_until(const std::function<bool(const CollectorRecords &)> &predicate,
                  double timeout_s = 60);

  // Waits for the collector to exit by itself (--count, --idle-exit); its exit status, or -1
  // when it is still running after timeout_s.
  int wait_exit(double timeout_s = 60);
  // SIGTERM, then waits (SIGKILL after timeout_s). The exit status; 128 + signal number when
  // a signal ended it; -1 when it was not running.
  int stop(double timeout_s = 30);
  bool running() const { return pid_ > 0; }
  // What it wrote to standard error so far (the --summary object is its last line).
  std::string stderr_text() const;

 private:
  void read_new_lines();
  bool reap(bool block, double timeout_s);

  TempDir folder_{"veska-collector"};  // holds the three files below
  std::string output_path_;
  std::string ready_path_;
  std::string stderr_path_;
  std::string address_;
  std::string http_address_;
  std::string server_;
  std::string error_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  int exit_status_ = -1;
  // Bytes of the output file already split into lines; a partial last line waits here.
  size_t read_offset_ = 0;
  std::string partial_;
  CollectorRecords records_;
};

}  // namespace veska_test

#endif  // VESKA_TESTS_SUPPORT_COLLECTOR_PROCESS_H
