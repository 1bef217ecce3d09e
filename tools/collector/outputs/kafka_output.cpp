// Adapts the Kafka forwarder to the collector's output seam.
#include "tools/collector/outputs/kafka_output.h"

#include <algorithm>

#include "tools/collector/metrics/metrics.h"

namespace veska {
namespace kafka {

std::unique_ptr<KafkaOutput> KafkaOutput::create(const Options &options, std::string *error) {
  std::unique_ptr<Forwarder> forwarder = Forwarder::create(options, error);
  if (!forwarder) return nullptr;
  return std::unique_ptr<KafkaOutput>(new KafkaOutput(std::move(forwarder)));
}

void KafkaOutput::deliver(const collector::Delivery &message) {
  const void *value = message.bytes();
  size_t size = message.size();
  if (forwarder_->format() == Format::kJson) {
    line_.clear();
    message.render_json(&line_);
    if (!line_.empty() && line_.back() == '\n') line_.pop_back();
    value = line_.data();
    size = line_.size();
  }
  forwarder_->forward(message.kind(), message.peer(), message.transaction_id(),
                      message.transaction_id_size(), value, size);
}

void KafkaOutput::poll() {
  forwarder_->poll();
  publish();
}

void KafkaOutput::finish(double seconds) {
  int wait_ms = static_cast<int>(std::min(seconds, 3600.0) * 1000);
  forwarder_->flush(std::max(wait_ms, kFlushTimeoutMs));
  publish();
}

// Delivery reports arrive during poll and flush; /metrics reads them from the HTTP thread.
void KafkaOutput::publish() const {
  collector::Metrics &m = collector::metrics();
  m.kafka_delivered.store(forwarder_->delivered(), std::memory_order_relaxed);
  m.kafka_failed.store(forwarder_->failed(), std::memory_order_relaxed);
}

void KafkaOutput::summarise(nlohmann::ordered_json *summary) {
  nlohmann::ordered_json counts = nlohmann::ordered_json::object();
  counts["delivered"] = forwarder_->delivered();
  counts["failed"] = forwarder_->failed();
  (*summary)["kafka"] = counts;
}

}  // namespace kafka
}  // namespace veska
