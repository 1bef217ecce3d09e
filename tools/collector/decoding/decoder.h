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
  uint16_t type = 0;      // the event word without its blocked bit
  bool blocked = false;   // bit 15 of the event word
  uint16_t presence = 0;  // the presence flags as sent
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
  size_t offset = 0;             // stream offset of the message's first header byte
  size_t length = 0;             // header plus payload
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

// One whole, valid message as it lies in the caller's bytes: nothing is copied, and every
// pointer is valid only as long as those bytes (during a MessageVisitor call, for instance).
struct MessageView {
  MessageKind kind = MessageKind::kRegister;
  size_t offset = 0;              // stream offset of the message's first header byte
  const uint8_t *data = nullptr;  // the message's bytes, header included
  size_t length = 0;              // header plus payload
  // kEvent:
  uint16_t type = 0;
  bool blocked = false;
  uint16_t presence = 0;
  uint32_t seconds = 0;  // also kHeartbeat's seconds
  uint32_t microseconds = 0;
  const uint8_t *transaction_id = nullptr;  // null when the event has no instance section
  uint16_t transaction_id_length = 0;
  // kStatistics:
  uint32_t events_dropped = 0;
  uint16_t connections_made = 0;
};

// Checks one whole message (header and payload) in data[0, size) exactly as decode_message
// does, without allocating. True: *out describes it. False: the message is rejected; ask
// decode_message for the reason and offset.
bool check_message(const uint8_t *data, size_t size, size_t stream_offset, MessageView *out);

// Receives each message StreamDecoder::feed_views finds, in stream order.
class MessageVisitor {
 public:
  virtual ~MessageVisitor() = default;
  virtual void visit(const MessageView &message) = 0;
};

// Incremental decoder for one connection's stream.
class StreamDecoder {
 public:
  // The same decoding as feed, handing every complete message to *visitor in place instead of
  // building Message records. Only an unfinished message is kept between calls (at most one
  // message of 65539 bytes), so whole messages in data are never copied.
  bool feed_views(const uint8_t *data, size_t size, MessageVisitor *visitor);
  // Bytes of an unfinished message kept for the next call.
  size_t pending() const { return pending_.size(); }

  // Appends bytes and decodes every complete message into *out (appended). Returns false once
  // a protocol error has been found; the error is sticky and later calls decode nothing.
  bool feed(const uint8_t *data, size_t size, std::vector<Message> *out);
  // The peer closed the stream: a partial message left over is a truncation error.
  bool finish();
  const std::optional<DecodeError> &error() const { return error_; }
  size_t consumed() const { return consumed_; }  // stream bytes decoded into messages

 private:
  static constexpr size_t kKeptCapacity = 8192;
  // The length of the message whose header is at header, or false with the error recorded.
  bool header_length(const uint8_t *header, size_t *length);
  // Checks one whole message and hands it to visitor, or records the error.
  bool deliver(const uint8_t *data, size_t length, MessageVisitor *visitor);

  Bytes pending_;  // the start of an unfinished message
  size_t consumed_ = 0;
  std::optional<DecodeError> error_;
};

}  // namespace wire
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_DECODER_H
