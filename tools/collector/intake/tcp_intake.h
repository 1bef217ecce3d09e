// The collector's TCP intake: listens through the library's TCP module, serves any number of
// client connections from one dispatch loop, decodes every stream strictly and hands each
// message to the outputs. Everything here runs on the collector's main thread.
#ifndef VESKA_TOOLS_COLLECTOR_INTAKE_TCP_INTAKE_H
#define VESKA_TOOLS_COLLECTOR_INTAKE_TCP_INTAKE_H

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lib/transport/transport.h"
#include "tools/collector/decoding/decoder.h"
#include "tools/collector/outputs/output.h"

namespace veska {
namespace collector {

using Clock = std::chrono::steady_clock;

struct IntakeSettings {
  std::string listen;
  uint64_t count = 0;        // stop after this many events; 0: no limit
  uint64_t close_after = 0;  // bytes; 0: never
  uint64_t close_connections = 1;
  uint64_t max_connections = 1000;
  double client_timeout = 300;  // seconds
};

// What the intake has seen, for --summary.
struct IntakeCounts {
  uint64_t connections = 0;  // accepted and served
  uint64_t protocol_errors = 0;
  uint64_t refused = 0;
  uint64_t timed_out = 0;
  uint64_t bytes = 0;
  uint64_t kinds[4] = {0, 0, 0, 0};  // by wire::MessageKind
};

class TcpIntake : private wire::MessageVisitor {
 public:
  // outputs must outlive the intake; it is read at every message.
  TcpIntake(const IntakeSettings &settings, std::vector<std::unique_ptr<Output>> *outputs);
  ~TcpIntake() override;
  TcpIntake(const TcpIntake &) = delete;
  TcpIntake &operator=(const TcpIntake &) = delete;

  // Starts listening. False with the reason in *error.
  bool listen(std::string *error);
  // The bound address "HOST:PORT" once listening.
  const char *address() const { return listener_.str_addr; }

  // One turn: a dispatch pass of at most timeout_us, then the outputs' flush and poll. False
  // when the dispatch failed (the reason is on standard error).
  bool turn(uint32_t timeout_us);
  // Closes the connections that have sent nothing for the client time-out.
  void close_silent(Clock::time_point now);
  // After a stop signal: stops accepting, then reads every open connection until it has been
  // quiet for a moment, within an overall bound, or until *stop_requested changes. False when
  // the dispatch failed.
  bool drain(const volatile sig_atomic_t *stop_requested);
  // Closes every connection and the listener.
  void close_all();

  bool done() const { return done_; }  // --count reached
  Clock::time_point last_activity() const { return last_activity_; }
  const IntakeCounts &counts() const { return counts_; }

 private:
  struct Connection;

  void visit(const wire::MessageView &message) override;
  static int _on_readable(transport_endpoint_t *endpoint);
  static int _is_readable(transport_endpoint_t *endpoint);
  void _close(transport_endpoint_t *endpoint);
  void _protocol_error(Connection *connection, const wire::DecodeError &error);
  bool _refuse_one();
  void _accept_failed(int rc);
  void _accept_all();
  void _read(Connection *connection);
  bool _outputs_accepting() const;
  void _publish() const;  // the counts, into the process's metrics

  IntakeSettings settings_;
  std::vector<std::unique_ptr<Output>> *outputs_;
  transport_instance_t transport_;
  transport_endpoint_t listener_;
  bool initialised_ = false;
  bool listening_ = false;
  std::map<transport_endpoint_t *, std::unique_ptr<Connection>> connections_;
  // Closed during a dispatch pass; freed once the pass has returned.
  std::vector<std::unique_ptr<Connection>> retired_;
  std::unique_ptr<uint8_t[]> buffer_;
  Connection *reading_ = nullptr;  // the connection whose bytes are being decoded
  IntakeCounts counts_;
  bool done_ = false;
  bool paused_ = false;        // an output is not accepting: connections are not read
  int spare_descriptor_ = -1;  // given up to accept (and close) a connection when out of them
  Clock::time_point accept_paused_until_;
  Clock::time_point last_activity_ = Clock::now();
};

}  // namespace collector
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_INTAKE_TCP_INTAKE_H
