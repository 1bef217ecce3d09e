// Strict decoding of the collector stream. Every read goes through Reader, which knows the
// end of the bytes it may touch and turns any attempt to pass it into a DecodeError at the
// offending stream offset; nothing here indexes the input directly.
#include "tools/collector/decoder.h"

#include <cstdio>
#include <utility>

namespace veska {
namespace wire {

namespace {

constexpr size_t kHeaderSize = 4;
constexpr uint8_t kTypeRegister = 0;
constexpr uint8_t kTypeEvent = 1;
constexpr uint8_t kTypeHeartbeat = 2;  // version 0: statistics, version 1: heartbeat
constexpr uint16_t kRegisterPayload = 2;
constexpr uint16_t kStatisticsPayload = 6;
constexpr uint16_t kEventFixedPayload = 12;
constexpr uint16_t kBlockedBit = 0x8000;
constexpr uint16_t kMaxEventType = 9;
constexpr uint16_t kKnownPresenceBits = 0x1F;
constexpr uint16_t kInstanceBit = 0x01, kHorizontalBit = 0x02, kVerticalBit = 0x04,
                   kHorizontalContextBit = 0x08, kVerticalContextBit = 0x10;

// Thrown inside this file only; decode_message and StreamDecoder turn it into a DecodeError.
struct Failure {
  size_t offset;
  std::string reason;
};

[[noreturn]] void fail(size_t offset, std::string reason) {
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
      fail(offset(), std::string(what) + " runs past the end of the payload (needs " +
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
Header check_header(const uint8_t *data, size_t offset) {
  const uint8_t type = data[0];
  const uint8_t version = data[1];
  const uint16_t payload = static_cast<uint16_t>((data[2] << 8) | data[3]);
  auto expect_length = [&](uint16_t expected, const char *kind) {
    if (payload != expected) {
      fail(offset + 2, std::string(kind) + " payload length " + std::to_string(payload) +
                           ", expected " + std::to_string(expected));
    }
  };
  switch (type) {
    case kTypeRegister:
      if (version != 0) fail(offset + 1, "unknown register version " + std::to_string(version));
      expect_length(kRegisterPayload, "register");
      return {MessageKind::kRegister, payload};
    case kTypeEvent:
      if (version != 0) fail(offset + 1, "unknown event version " + std::to_string(version));
      if (payload < kEventFixedPayload) {
        fail(offset + 2, "event payload length " + std::to_string(payload) + ", below 12");
      }
      return {MessageKind::kEvent, payload};
    case kTypeHeartbeat:
      if (version == 0) {
        expect_length(kStatisticsPayload, "statistics");
        return {MessageKind::kStatistics, payload};
      }
      if (version == 1) {
        expect_length(kStatisticsPayload, "heartbeat");
        return {MessageKind::kHeartbeat, payload};
      }
      fail(offset + 1, "unknown version " + std::to_string(version) + " of message type 2");
    default:
      fail(offset, "unknown message type " + std::to_string(type));
  }
}

// Count byte, 3-byte descriptors, then names and values. The whole list must fit in what is
// left of the payload; an overrun is reported at the descriptor table or the first item
// whose bytes do not fit.
ValuesList read_list(Reader &r, const char *what) {
  const size_t list_offset = r.offset();
  const uint8_t count = r.u8(what);
  if (size_t{3} * count > r.remaining()) {
    fail(list_offset, std::string(what) + ": descriptors of " + std::to_string(count) +
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
      fail(descriptor_offsets[i],
           std::string(what) + ": item " + std::to_string(i) + " runs past the end of the payload");
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

AssociationSection read_association(Reader &r, const char *what) {
  AssociationSection s;
  s.caller_type = r.u8(what);
  const size_t length_offset = r.offset();
  const uint8_t link_length = r.u8(what);
  if (link_length > r.remaining())
    fail(length_offset, std::string(what) + ": link id runs past the end of the payload");
  s.link_id = r.bytes(link_length, what);
  s.stitch_ids = read_list(r, what);
  return s;
}

EventMessage read_event(Reader &r) {
  EventMessage e;
  const size_t word_offset = r.offset();
  const uint16_t word = r.u16("event word");
  e.blocked = (word & kBlockedBit) != 0;
  e.type = static_cast<uint16_t>(word & ~kBlockedBit);
  if (e.type > kMaxEventType) {
    fail(word_offset, "event type " + std::to_string(e.type) + " above 9");
  }
  const size_t flags_offset = r.offset();
  e.presence = r.u16("presence flags");
  if (e.presence & ~kKnownPresenceBits) {
    fail(
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
      fail(length_offset, "transaction id runs past the end of the payload");
    s.transaction_id = r.bytes(id_length, "transaction id");
    s.transaction_data = read_list(r, "transaction data");
    e.instance = std::move(s);
  }
  if (e.presence & kHorizontalBit) e.horizontal = read_association(r, "horizontal association");
  if (e.presence & kVerticalBit) e.vertical = read_association(r, "vertical association");
  if (e.presence & kHorizontalContextBit) e.horizontal_context = read_list(r, "horizontal context");
  if (e.presence & kVerticalContextBit) e.vertical_context = read_list(r, "vertical context");
  if (r.remaining() != 0) {
    fail(r.offset(), std::to_string(r.remaining()) +
                         " bytes left after the event's sections: payload length does not "
                         "match the content");
  }
  return e;
}

void decode_checked(const uint8_t *data, size_t size, size_t stream_offset, Message *out) {
  if (size < kHeaderSize) {
    fail(stream_offset, "truncated header: " + std::to_string(size) + " of 4 bytes");
  }
  const Header header = check_header(data, stream_offset);
  const size_t length = kHeaderSize + header.payload;
  if (size < length) {
    fail(stream_offset, "truncated " + std::string(message_kind_name(header.kind)) + " message: " +
                            std::to_string(size) + " of " + std::to_string(length) + " bytes");
  }
  if (size > length) {
    fail(stream_offset + length, std::to_string(size - length) + " bytes after the end of the " +
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
      if (r.u16("register field") != 0) fail(at, "register field is not zero");
      break;
    }
    case MessageKind::kStatistics:
      m.statistics.events_dropped = r.u32("events dropped");
      m.statistics.connections_made = r.u16("connections made");
      break;
    case MessageKind::kHeartbeat: {
      m.heartbeat.seconds = r.u32("heartbeat seconds");
      const size_t at = r.offset();
      if (r.u16("heartbeat field") != 0) fail(at, "heartbeat trailing field is not zero");
      break;
    }
    case MessageKind::kEvent:
      m.event = read_event(r);
      break;
  }
  *out = std::move(m);
}

}  // namespace

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
    decode_checked(data, size, stream_offset, &m);
    if (out != nullptr) *out = std::move(m);
    return true;
  } catch (const Failure &f) {
    if (error != nullptr) *error = DecodeError{f.offset, f.reason};
    return false;
  }
}

bool StreamDecoder::feed(const uint8_t *data, size_t size, std::vector<Message> *out) {
  if (error_) return false;
  if (size != 0) pending_.insert(pending_.end(), data, data + size);
  // pending_ starts at stream offset consumed_; start walks over the whole messages in it.
  size_t start = 0;
  bool ok = true;
  while (pending_.size() - start >= kHeaderSize) {
    const uint8_t *p = pending_.data() + start;
    size_t length = 0;
    try {
      length = kHeaderSize + check_header(p, consumed_).payload;
    } catch (const Failure &f) {
      error_ = DecodeError{f.offset, f.reason};
      ok = false;
      break;
    }
    if (pending_.size() - start < length) break;  // wait for the rest of the payload
    Message m;
    DecodeError e;
    if (!decode_message(p, length, consumed_, &m, &e)) {
      error_ = e;
      ok = false;
      break;
    }
    if (out != nullptr) out->push_back(std::move(m));
    start += length;
    consumed_ += length;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
  return ok;
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
