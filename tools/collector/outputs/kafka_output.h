// The collector output that forwards every decoded message to Kafka through a Forwarder: the
// JSON line the collector writes for it (without its newline) or its wire bytes as the value.
#ifndef VESKA_TOOLS_COLLECTOR_KAFKA_OUTPUT_H
#define VESKA_TOOLS_COLLECTOR_KAFKA_OUTPUT_H

#include <memory>
#include <string>

#include "tools/collector/outputs/kafka_forwarder.h"
#include "tools/collector/outputs/output.h"

namespace veska {
namespace kafka {

class KafkaOutput : public collector::Output {
 public:
  // Null, with the reason in *error, when the producer cannot be made.
  static std::unique_ptr<KafkaOutput> create(const Options &options, std::string *error);

  // Protocol errors are not forwarded: they stay in the collector's own output and counts.
  void deliver(const collector::Delivery &message) override;
  void poll() override;
  // Waits for outstanding records: at least `seconds`, and never less than kFlushTimeoutMs.
  void finish(double seconds) override;
  // Adds "kafka": {"delivered": N, "failed": M}.
  void summarise(nlohmann::ordered_json *summary) override;
  uint64_t failed() const override { return forwarder_->failed(); }

 private:
  explicit KafkaOutput(std::unique_ptr<Forwarder> forwarder) : forwarder_(std::move(forwarder)) {}
  // Copies the delivered and failed counts into the collector's metrics.
  void publish() const;

  std::unique_ptr<Forwarder> forwarder_;
  std::string line_;  // reused for every JSON value
};

}  // namespace kafka
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_KAFKA_OUTPUT_H
