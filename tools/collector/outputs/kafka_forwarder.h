// The collector's Kafka output: hands every decoded message to a librdkafka producer as one
// record (keyed by transaction id or peer, with veska.kind and veska.peer headers) and keeps
// the count of records delivered and failed. Everything here runs on the collector's one
// thread: delivery reports are served by poll() and flush(), never behind its back.
#ifndef VESKA_TOOLS_COLLECTOR_KAFKA_FORWARDER_H
#define VESKA_TOOLS_COLLECTOR_KAFKA_FORWARDER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/collector/decoding/decoder.h"

struct rd_kafka_s;
struct rd_kafka_message_s;

namespace veska {
namespace kafka {

using Clock = std::chrono::steady_clock;

enum class Format { kJson, kWire };

struct Options {
  std::string brokers;  // bootstrap servers; empty: forwarding off
  std::string topic = "veska";
  Format format = Format::kJson;
  // Producer properties in the order given; they override the defaults set here.
  std::vector<std::pair<std::string, std::string>> properties;
  bool given = false;  // any of the options was given

  bool enabled() const { return !brokers.empty(); }
};

// True for the option names this output owns: --kafka-brokers, --kafka-topic, --kafka-format,
// --kafka-property (each takes a value).
bool is_option(const std::string &name);

// Applies one of those options with its value. False with a one-line reason in *error when the
// value is not acceptable (empty, unknown format, property without '=' or key).
bool set_option(const std::string &name, const std::string &value, Options *options,
                std::string *error);

// Once every option is read: false, with the reason, when Kafka options came without
// --kafka-brokers (they would be silently ignored).
bool check_options(const Options &options, std::string *error);

// How long the collector waits, at exit, for records still on their way.
constexpr int kFlushTimeoutMs = 10000;

class Forwarder {
 public:
  // Creates the producer (idempotent by default) for options.brokers and options.topic. Null,
  // with librdkafka's reason in *error, when a property is refused or no producer can be made.
  // Nothing is contacted yet: brokers that are down are not an error here.
  static std::unique_ptr<Forwarder> create(const Options &options, std::string *error);

  ~Forwarder();  // destroys the producer without waiting: flush() first
  Forwarder(const Forwarder &) = delete;
  Forwarder &operator=(const Forwarder &) = delete;

  Format format() const { return format_; }

  // Queues one record for a decoded message: value is copied. An event is keyed by its
  // transaction id (transaction_id null: no instance section, null key), every other kind by
  // peer. When the producer's queue is full, waits for room as long as records are being
  // delivered; a record the producer cannot take (its queue stays full, the record is too
  // large, the producer has failed) is counted as failed.
  void forward(wire::MessageKind kind, const std::string &peer, const uint8_t *transaction_id,
               size_t transaction_id_size, const void *value, size_t size);

  // Serves the delivery reports and errors that are ready; never blocks.
  void poll();

  // Waits at most timeout_ms for every queued record's report; what is still undelivered then
  // is purged and counted as failed, so delivered() + failed() equals the records forwarded.
  void flush(int timeout_ms);

  uint64_t forwarded() const { return forwarded_; }
  uint64_t delivered() const { return delivered_; }
  uint64_t failed() const { return failed_; }

 private:
  Forwarder() = default;
  static void _on_delivery(rd_kafka_s *rk, const rd_kafka_message_s *report, void *opaque);
  static void _on_error(rd_kafka_s *rk, int err, const char *reason, void *opaque);
  void _failure(int err, const char *text);

  rd_kafka_s *producer_ = nullptr;
  std::string topic_;
  Format format_ = Format::kJson;
  uint64_t forwarded_ = 0;
  uint64_t delivered_ = 0;
  uint64_t failed_ = 0;
  Clock::time_point last_delivery_ = Clock::now();  // of a record, or the producer's start
  // Error codes already logged, for record failures and for producer errors: each cause is
  // logged once.
  std::set<int> failures_reported_;
  std::set<int> errors_reported_;
};

}  // namespace kafka
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_KAFKA_FORWARDER_H
