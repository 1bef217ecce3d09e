// A strict decoder of the collector byte stream: splits it into messages by their headers and
// decodes the four message kinds into plain structs, reporting the first inconsistency with
// its byte offset in the stream. It never reads outside the bytes it was given.
#ifndef VESKA_TOOLS_COLLECTOR_DECODER_H
#define VESKA_TOOLS_COLLECTOR_DECODER_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veska {
namespace wire {

using Bytes = std::vector<uint8_t>;

struct ValueItem {
  std::string name;  // the name bytes as sent (at most 255)
  Bytes value;       // the value bytes as sent (may be empty)
};
using ValuesList = std::vector<ValueItem>;

struct InstanceSection {
  Bytes transaction_id;
  ValuesList transaction_data;
};

struct AssociationSection {
  uint8_t caller_type = 0;
  Bytes link_id;
  ValuesList stitch_ids;
};

struct EventMessage {
  uint16_t type = 0;        // the event word without its blocked bit
  bool blocked = false;     // bit 15 of the event word
  uint16_t presence = 0;    // the presence flags as sent
  uint32_t seconds = 0;
  uint32_t microseconds = 0;
  std::optional<InstanceSection> instance;
  std::optional<AssociationSection> horizontal;
  std::optional<AssociationSection> vertical;
  std::optional<ValuesList> horizontal_context;
  std::optional<ValuesList> vertical_context;
};

struct StatisticsMessage {
  uint32_t events_dropped = 0;
  uint16_t connections_made = 0;
};

struct HeartbeatMessage {
  uint32_t seconds = 0;
};

enum class MessageKind { kRegister, kEvent, kStatistics, kHeartbeat };

// Text used for the kind in reports: "register", "event", "statistics", "heartbeat".
const char *message_kind_name(MessageKind kind);

struct Message {
  MessageKind kind = MessageKind::kRegister;
  size_t offset = 0;  // stream offset of the message's first header byte
  size_t length = 0;  // header plus payload
  EventMessage event;            // valid for kEvent
  StatisticsMessage statistics;  // valid for kStatistics
  HeartbeatMessage heartbeat;    // valid for kHeartbeat
};

struct DecodeError {
  size_t offset = 0;   // stream offset of the offending byte (or of the message start)
  std::string reason;  // human-readable, e.g. "unknown message type 7"
};

// Decodes one whole message (header and payload) from data[0, size). stream_offset is added
// to every reported offset. Returns false and fills *error on any inconsistency, including a
// size that is not exactly one message.
bool decode_message(const uint8_t *data, size_t size, size_t stream_offset, Message *out,
                    DecodeError *error);

// Incremental decoder for one connection's stream.
class StreamDecoder {
 public:
  // Appends bytes and decodes every complete message into *out (appended). Returns false once
  // a protocol error has been found; the error is sticky and later calls decode nothing.
  bool feed(const uint8_t *data, size_t size, std::vector<Message> *out);
  // The peer closed the stream: a partial message left over is a truncation error.
  bool finish();
  const std::optional<DecodeError> &error() const { return error_; }
  size_t consumed() const { return consumed_; }  // stream bytes decoded into messages

 private:
  Bytes pending_;
  size_t consumed_ = 0;
  std::optional<DecodeError> error_;
};

}  // namespace wire
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_DECODER_H
