// Messages copied out of the intake's buffers for the store's writer thread: their wire bytes
// in one buffer, with where each came from, so a batch costs a few allocations, not one per
// message.
#ifndef VESKA_TOOLS_COLLECTOR_STORE_MESSAGE_BATCH_H
#define VESKA_TOOLS_COLLECTOR_STORE_MESSAGE_BATCH_H

#include <cstdint>
#include <string>
#include <vector>

namespace veska {
namespace store {

struct BatchedMessage {
  size_t bytes_at = 0;  // into MessageBatch::bytes
  size_t size = 0;
  uint32_t peer = 0;  // into MessageBatch::peers
  uint64_t connection = 0;
  uint64_t stream_offset = 0;
  int64_t received_us = 0;  // the collector's clock
  // A Kafka position, when the message was read back from a topic; topic < 0 otherwise.
  int32_t topic = -1;  // into MessageBatch::topics
  int32_t partition = 0;
  int64_t kafka_offset = 0;
};

struct MessageBatch {
  std::string bytes;
  std::vector<std::string> peers;
  std::vector<std::string> topics;
  std::vector<BatchedMessage> messages;

  // Appends a copy of one whole wire message.
  void add(const uint8_t *data, size_t size, const std::string &peer, uint64_t connection,
           uint64_t stream_offset, int64_t received_us, const std::string *topic = nullptr,
           int32_t partition = 0, int64_t kafka_offset = 0) {
    BatchedMessage message;
    message.bytes_at = bytes.size();
    message.size = size;
    message.peer = intern(&peers, peer);
    message.connection = connection;
    message.stream_offset = stream_offset;
    message.received_us = received_us;
    if (topic != nullptr) {
      message.topic = static_cast<int32_t>(intern(&topics, *topic));
      message.partition = partition;
      message.kafka_offset = kafka_offset;
    }
    bytes.append(reinterpret_cast<const char *>(data), size);
    messages.push_back(message);
  }
  const uint8_t *data(const BatchedMessage &message) const {
    return reinterpret_cast<const uint8_t *>(bytes.data()) + message.bytes_at;
  }
  bool empty() const { return messages.empty(); }
  void clear() {
    bytes.clear();
    peers.clear();
    topics.clear();
    messages.clear();
  }

 private:
  // Consecutive messages usually share a peer: look at the last one first.
  static uint32_t intern(std::vector<std::string> *names, const std::string &name) {
    if (!names->empty() && names->back() == name) return static_cast<uint32_t>(names->size() - 1);
    for (size_t i = 0; i < names->size(); ++i) {
      if ((*names)[i] == name) return static_cast<uint32_t>(i);
    }
    names->push_back(name);
    return static_cast<uint32_t>(names->size() - 1);
  }
};

}  // namespace store
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_STORE_MESSAGE_BATCH_H
