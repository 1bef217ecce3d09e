// Strict decoding of the collector stream. Every read goes through Reader, which knows the
// end of the bytes it may touch and turns any attempt to pass it into a DecodeError at the
// offending stream offset; nothing here indexes the input directly.
#include "tools/collector/decoding/decoder.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "protocol/message_header.h"
#include "types.h"

namespace veska {
namespace wire {

namespace {

// Framing and event types come from the library's headers. The event layout's bits are
// private to the library's serialiser, so they are stated here again as the wire carries them.
constexpr size_t kHeaderSize = VE_MESSAGE_HEADER_SIZE;
constexpr uint8_t kTypeRegister = VE_MESSAGE_REGISTER;
constexpr uint8_t kTypeEvent = VE_MESSAGE_EVENT;
constexpr uint8_t kTypeHeartbeat = VE_MESSAGE_HEARTBEAT;
constexpr uint16_t kRegisterPayload = VE_REGISTER_MESSAGE_SIZE - VE_MESSAGE_HEADER_SIZE;
constexpr uint16_t kStatisticsPayload = VE_STATISTICS_MESSAGE_SIZE - VE_MESSAGE_HEADER_SIZE;
static_assert(VE_HEARTBEAT_MESSAGE_SIZE == VE_STATISTICS_MESSAGE_SIZE,
              "statistics and heartbeat share one message type and one length");
constexpr uint16_t kEventFixedPayload = 12;
constexpr uint16_t kBlockedBit = 0x8000;
constexpr uint16_t kMaxEventType = QIVA_EVENT_TYPE_COUNT - 1;
constexpr uint16_t kKnownPresenceBits = 0x1F;
constexpr uint16_t kInstanceBit = 0x01, kHorizontalBit = 0x02, kVerticalBit = 0x04,
                   kHorizontalContextBit = 0x08, kVerticalContextBit = 0x10;

// Thrown inside this file only; decode_message and StreamDecoder turn it into a DecodeError.
struct Failure {
  size_t offset;
  std::string reason;
};

[[noreturn]] void _fail(size_t offset, std::string reason) {
  throw Failure{offset, std::move(reason)};
}

// A bounds-checked big-endian reader over [data, data + size), reporting stream offsets.
class Reader {
 public:
  Reader(const uint8_t *data, size_t size, size_t stream_offset)
      : data_(data), size_(size), base_(stream_offset) {}

  size_t offset() const { return base_ + pos_; }
  size_t remaining() const { return size_ - pos_; }

  // what names the field in the error when fewer than n bytes are left.
  void need(size_t n, const char *what) const {
    if (n > remaining()) {
      _fail(offset(), std::string(what) + " runs past the end of the payload (needs " +
                          std::to_string(n) + " bytes, " + std::to_string(remaining()) + " left)");
    }
  }
  uint8_t u8(const char *what) {
    need(1, what);
    return data_[pos_++];
  }
  uint16_t u16(const char *what) {
    need(2, what);
    uint16_t v = static_cast<uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
    pos_ += 2;
    return v;
  }
  uint32_t u32(const char *what) {
    need(4, what);
    uint32_t v = (uint32_t{data_[pos_]} << 24) | (uint32_t{data_[pos_ + 1]} << 16) |
                 (uint32_t{data_[pos_ + 2]} << 8) | uint32_t{data_[pos_ + 3]};
    pos_ += 4;
    return v;
  }
  Bytes bytes(size_t n, const char *what) {
    need(n, what);
    Bytes out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t base_;
  size_t pos_ = 0;
};

struct Header {
  MessageKind kind;
  uint16_t payload;
};

// Checks the 4 header bytes at data (the caller guarantees 4 bytes). Everything that can be
// judged from the header alone is judged here, so a stream with a bad header is reported as
// soon as the header arrives rather than after waiting for a payload that may never come.
Header _check_header(const uint8_t *data, size_t offset) {
  const uint8_t type = data[0];
  const uint8_t version = data[1];
  const uint16_t payload = static_cast<uint16_t>((data[2] << 8) | data[3]);
  auto expect_length = [&](uint16_t expected, const char *kind) {
    if (payload != expected) {
      _fail(offset + 2, std::string(kind) + " payload length " + std::to_string(payload) +
                            ", expected " + std::to_string(expected));
    }
  };
  switch (type) {
    case kTypeRegister:
      if (version != VE_REGISTER_VERSION)
        _fail(offset + 1, "unknown register version " + std::to_string(version));
      expect_length(kRegisterPayload, "register");
      return {MessageKind::kRegister, payload};
    case kTypeEvent:
      if (version != VE_EVENT_VERSION)
        _fail(offset + 1, "unknown event version " + std::to_string(version));
      if (payload < kEventFixedPayload) {
        _fail(offset + 2, "event payload length " + std::to_string(payload) + ", below 12");
      }
      return {MessageKind::kEvent, payload};
    case kTypeHeartbeat:
      if (version == VE_STATISTICS_VERSION) {
        expect_length(kStatisticsPayload, "statistics");
        return {MessageKind::kStatistics, payload};
      }
      if (version == VE_HEARTBEAT_VERSION) {
        expect_length(kStatisticsPayload, "heartbeat");
        return {MessageKind::kHeartbeat, payload};
      }
      _fail(offset + 1, "unknown version " + std::to_string(version) + " of message type 2");
    default:
      _fail(offset, "unknown message type " + std::to_string(type));
  }
}

// Count byte, 3-byte descriptors, then names and values. The whole list must fit in what is
// left of the payload; an overrun is reported at the descriptor table or the first item
// whose bytes do not fit.
ValuesList _read_list(Reader &r, const char *what) {
  const size_t list_offset = r.offset();
  const uint8_t count = r.u8(what);
  if (size_t{3} * count > r.remaining()) {
    _fail(list_offset, std::string(what) + ": descriptors of " + std::to_string(count) +
                           " items run past the end of the payload");
  }
  std::vector<std::pair<uint8_t, uint16_t>> descriptors;
  std::vector<size_t> descriptor_offsets;
  size_t data_bytes = 0;
  for (unsigned i = 0; i < count; ++i) {
    descriptor_offsets.push_back(r.offset());
    uint8_t name_length = r.u8(what);
    uint16_t value_length = r.u16(what);
    descriptors.emplace_back(name_length, value_length);
  }
  const size_t data_room = r.remaining();
  for (unsigned i = 0; i < count; ++i) {
    data_bytes += descriptors[i].first + size_t{descriptors[i].second};
    if (data_bytes > data_room) {
      _fail(descriptor_offsets[i], std::string(what) + ": item " + std::to_string(i) +
                                       " runs past the end of the payload");
    }
  }
  ValuesList list;
  list.reserve(count);
  for (const auto &d : descriptors) {
    ValueItem item;
    Bytes name = r.bytes(d.first, what);
    item.name.assign(name.begin(), name.end());
    item.value = r.bytes(d.second, what);
    list.push_back(std::move(item));
  }
  return list;
}

AssociationSection _read_association(Reader &r, const char *what) {
  AssociationSection s;
  s.caller_type = r.u8(what);
  const size_t length_offset = r.offset();
  const uint8_t link_length = r.u8(what);
  if (link_length > r.remaining())
    _fail(length_offset, std::string(what) + ": link id runs past the end of the payload");
  s.link_id = r.bytes(link_length, what);
  s.stitch_ids = _read_list(r, what);
  return s;
}

EventMessage _read_event(Reader &r) {
  EventMessage e;
  const size_t word_offset = r.offset();
  const uint16_t word = r.u16("event word");
  e.blocked = (word & kBlockedBit) != 0;
  e.type = static_cast<uint16_t>(word & ~kBlockedBit);
  if (e.type > kMaxEventType) {
    _fail(word_offset, "event type " + std::to_string(e.type) + " above 9");
  }
  const size_t flags_offset = r.offset();
  e.presence = r.u16("presence flags");
  if (e.presence & ~kKnownPresenceBits) {
    _fail(
        flags_offset, "reserved presence bits set: 0x" + [&] {
          char hex[8];
          snprintf(hex, sizeof hex, "%04X", e.presence);
          return std::string(hex);
        }());
  }
  e.seconds = r.u32("timestamp");
  e.microseconds = r.u32("timestamp");
  if (e.presence & kInstanceBit) {
    InstanceSection s;
    const size_t length_offset = r.offset();
    const uint16_t id_length = r.u16("instance section");
    if (id_length > r.remaining())
      _fail(length_offset, "transaction id runs past the end of the payload");
    s.transaction_id = r.bytes(id_length, "transaction id");
    s.transaction_data = _read_list(r, "transaction data");
    e.instance = std::move(s);
  }
  if (e.presence & kHorizontalBit) e.horizontal = _read_association(r, "horizontal association");
  if (e.presence & kVerticalBit) e.vertical = _read_association(r, "vertical association");
  if (e.presence & kHorizontalContextBit)
    e.horizontal_context = _read_list(r, "horizontal context");
  if (e.presence & kVerticalContextBit) e.vertical_context = _read_list(r, "vertical context");
  if (r.remaining() != 0) {
    _fail(r.offset(), std::to_string(r.remaining()) +
                          " bytes left after the event's sections: payload length does not "
                          "match the content");
  }
  return e;
}

void _decode_checked(const uint8_t *data, size_t size, size_t stream_offset, Message *out) {
  if (size < kHeaderSize) {
    _fail(stream_offset, "truncated header: " + std::to_string(size) + " of 4 bytes");
  }
  const Header header = _check_header(data, stream_offset);
  const size_t length = kHeaderSize + header.payload;
  if (size < length) {
    _fail(stream_offset, "truncated " + std::string(message_kind_name(header.kind)) + " message: " +
                             std::to_string(size) + " of " + std::to_string(length) + " bytes");
  }
  if (size > length) {
    _fail(stream_offset + length, std::to_string(size - length) + " bytes after the end of the " +
                                      message_kind_name(header.kind) + " message");
  }
  Message m;
  m.kind = header.kind;
  m.offset = stream_offset;
  m.length = length;
  Reader r(data + kHeaderSize, header.payload, stream_offset + kHeaderSize);
  switch (header.kind) {
    case MessageKind::kRegister: {
      const size_t at = r.offset();
      if (r.u16("register field") != 0) _fail(at, "register field is not zero");
      break;
    }
    case MessageKind::kStatistics:
      m.statistics.events_dropped = r.u32("events dropped");
      m.statistics.connections_made = r.u16("connections made");
      break;
    case MessageKind::kHeartbeat: {
      m.heartbeat.seconds = r.u32("heartbeat seconds");
      const size_t at = r.offset();
      if (r.u16("heartbeat field") != 0) _fail(at, "heartbeat trailing field is not zero");
      break;
    }
    case MessageKind::kEvent:
      m.event = _read_event(r);
      break;
  }
  *out = std::move(m);
}

// ---- Checks in place ------------------------------------------------------------------
// The same rules as above, answering only yes or no: no allocation, no exception. A refusal
// is explained by running the full decoder over the same bytes.

inline uint16_t _be16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t _be32(const uint8_t *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// The kind and payload length of a header _check_header accepts; false where it would fail.
bool _header_ok(const uint8_t *data, MessageKind *kind, uint16_t *payload) {
  const uint16_t length = _be16(data + 2);
  *payload = length;
  switch (data[0]) {
    case kTypeRegister:
      *kind = MessageKind::kRegister;
      return data[1] == VE_REGISTER_VERSION && length == kRegisterPayload;
    case kTypeEvent:
      *kind = MessageKind::kEvent;
      return data[1] == VE_EVENT_VERSION && length >= kEventFixedPayload;
    case kTypeHeartbeat:
      *kind = data[1] == VE_STATISTICS_VERSION ? MessageKind::kStatistics : MessageKind::kHeartbeat;
      return (data[1] == VE_STATISTICS_VERSION || data[1] == VE_HEARTBEAT_VERSION) &&
             length == kStatisticsPayload;
    default:
      return false;
  }
}

// A values list at p[*pos]: count byte, descriptors, then names and values, all inside n.
inline bool _skip_list(const uint8_t *p, size_t n, size_t *pos) {
  if (*pos >= n) return false;
  const size_t count = p[(*pos)++];
  if (3 * count > n - *pos) return false;
  const uint8_t *descriptor = p + *pos;
  size_t data_bytes = 0;
  for (size_t i = 0; i < count; ++i, descriptor += 3) {
    data_bytes += descriptor[0] + size_t{_be16(descriptor + 1)};
  }
  *pos += 3 * count;
  if (data_bytes > n - *pos) return false;
  *pos += data_bytes;
  return true;
}

inline bool _skip_association(const uint8_t *p, size_t n, size_t *pos) {
  if (n - *pos < 2) return false;  // caller type and link id length
  const size_t link_length = p[*pos + 1];
  *pos += 2;
  if (link_length > n - *pos) return false;
  *pos += link_length;
  return _skip_list(p, n, pos);
}

bool _event_ok(const uint8_t *p, size_t n, MessageView *out) {
  const uint16_t word = _be16(p);
  out->blocked = (word & kBlockedBit) != 0;
  out->type = static_cast<uint16_t>(word & ~kBlockedBit);
  out->presence = _be16(p + 2);
  out->seconds = _be32(p + 4);
  out->microseconds = _be32(p + 8);
  if (out->type > kMaxEventType || (out->presence & ~kKnownPresenceBits) != 0) return false;
  size_t pos = kEventFixedPayload;
  if (out->presence & kInstanceBit) {
    if (n - pos < 2) return false;
    const size_t id_length = _be16(p + pos);
    pos += 2;
    if (id_length > n - pos) return false;
    out->transaction_id = p + pos;
    out->transaction_id_length = static_cast<uint16_t>(id_length);
    pos += id_length;
    if (!_skip_list(p, n, &pos)) return false;
  }
  if ((out->presence & kHorizontalBit) && !_skip_association(p, n, &pos)) return false;
  if ((out->presence & kVerticalBit) && !_skip_association(p, n, &pos)) return false;
  if ((out->presence & kHorizontalContextBit) && !_skip_list(p, n, &pos)) return false;
  if ((out->presence & kVerticalContextBit) && !_skip_list(p, n, &pos)) return false;
  return pos == n;
}

}  // namespace

bool check_message(const uint8_t *data, size_t size, size_t stream_offset, MessageView *out) {
  MessageView view;
  uint16_t payload = 0;
  if (size < kHeaderSize || !_header_ok(data, &view.kind, &payload) ||
      size != kHeaderSize + size_t{payload}) {
    return false;
  }
  view.offset = stream_offset;
  view.data = data;
  view.length = size;
  const uint8_t *p = data + kHeaderSize;
  switch (view.kind) {
    case MessageKind::kRegister:
      if (_be16(p) != 0) return false;
      break;
    case MessageKind::kStatistics:
      view.events_dropped = _be32(p);
      view.connections_made = _be16(p + 4);
      break;
    case MessageKind::kHeartbeat:
      view.seconds = _be32(p);
      if (_be16(p + 4) != 0) return false;
      break;
    case MessageKind::kEvent:
      if (!_event_ok(p, payload, &view)) return false;
      break;
  }
  *out = view;
  return true;
}

const char *message_kind_name(MessageKind kind) {
  switch (kind) {
    case MessageKind::kRegister:
      return "register";
    case MessageKind::kEvent:
      return "event";
    case MessageKind::kStatistics:
      return "statistics";
    case MessageKind::kHeartbeat:
      return "heartbeat";
  }
  return "<unknown>";
}

bool decode_message(const uint8_t *data, size_t size, size_t stream_offset, Message *out,
                    DecodeError *error) {
  try {
    Message m;
    _decode_checked(data, size, stream_offset, &m);
    if (out != nullptr) *out = std::move(m);
    return true;
  } catch (const Failure &f) {
    if (error != nullptr) *error = DecodeError{f.offset, f.reason};
    return false;
  }
}

namespace {

// Gives feed's callers the Message records they ask for.
class _MessageCollector : public MessageVisitor {
 public:
  explicit _MessageCollector(std::vector<Message> *out) : out_(out) {}
  void visit(const MessageView &view) override {
    if (out_ == nullptr) return;
    Message m;
    decode_message(view.data, view.length, view.offset, &m, nullptr);
    out_->push_back(std::move(m));
  }

 private:
  std::vector<Message> *out_;
};

}  // namespace

bool StreamDecoder::feed(const uint8_t *data, size_t size, std::vector<Message> *out) {
  _MessageCollector collector(out);
  return feed_views(data, size, &collector);
}

bool StreamDecoder::header_length(const uint8_t *header, size_t *length) {
  MessageKind kind;
  uint16_t payload = 0;
  if (_header_ok(header, &kind, &payload)) {
    *length = kHeaderSize + payload;
    return true;
  }
  try {
    _check_header(header, consumed_);
    error_ = DecodeError{consumed_, "invalid message header"};  // not reached: both agree
  } catch (const Failure &f) {
    error_ = DecodeError{f.offset, f.reason};
  }
  return false;
}

bool StreamDecoder::deliver(const uint8_t *data, size_t length, MessageVisitor *visitor) {
  MessageView view;
  if (!check_message(data, length, consumed_, &view)) {
    // Refused by the quick check: the full decoder says where and why.
    Message m;
    DecodeError e;
    if (!decode_message(data, length, consumed_, &m, &e)) {
      error_ = e;
      return false;
    }
    // Not reached while both checks agree; the full decoder's word is final.
    view = MessageView();
    view.kind = m.kind;
    view.offset = m.offset;
    view.data = data;
    view.length = length;
  }
  visitor->visit(view);
  consumed_ += length;
  return true;
}

bool StreamDecoder::feed_views(const uint8_t *data, size_t size, MessageVisitor *visitor) {
  if (error_) return false;
  size_t at = 0;
  size_t length = 0;
  if (!pending_.empty()) {
    // Finish the message an earlier call began: its header first, then its payload.
    if (pending_.size() < kHeaderSize) {
      const size_t take = std::min(kHeaderSize - pending_.size(), size);
      pending_.insert(pending_.end(), data, data + take);
      at = take;
      if (pending_.size() < kHeaderSize) return true;
    }
    if (!header_length(pending_.data(), &length)) return false;
    const size_t take = std::min(length - pending_.size(), size - at);
    pending_.insert(pending_.end(), data + at, data + at + take);
    at += take;
    if (pending_.size() < length) return true;
    if (!deliver(pending_.data(), length, visitor)) return false;
    pending_.clear();
    // A large message's buffer is not kept for the life of the connection.
    if (pending_.capacity() > kKeptCapacity) Bytes().swap(pending_);
  }
  while (size - at >= kHeaderSize) {
    if (!header_length(data + at, &length)) return false;
    if (size - at < length) break;  // wait for the rest of the payload
    if (!deliver(data + at, length, visitor)) return false;
    at += length;
  }
  pending_.assign(data + at, data + size);
  return true;
}

bool StreamDecoder::finish() {
  if (error_) return false;
  if (pending_.empty()) return true;
  if (pending_.size() < kHeaderSize) {
    error_ = DecodeError{consumed_, "stream ends inside a message header: " +
                                        std::to_string(pending_.size()) + " of 4 bytes"};
  } else {
    // The header was checked when it arrived, so only the payload can be short.
    const size_t length = kHeaderSize + ((size_t{pending_[2]} << 8) | pending_[3]);
    error_ =
        DecodeError{consumed_, "stream ends inside a message: " + std::to_string(pending_.size()) +
                                   " of " + std::to_string(length) + " bytes"};
  }
  return false;
}

}  // namespace wire
}  // namespace veska
