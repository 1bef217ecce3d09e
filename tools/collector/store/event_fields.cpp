// The in-place walk over an event's sections. Every length is still checked against the end of
// the payload, so a message that was not checked first cannot lead the walk outside it.
#include "tools/collector/store/event_fields.h"

namespace veska {
namespace store {

namespace {

constexpr size_t kHeaderBytes = 4;
constexpr size_t kFixedPayload = 12;  // event word, presence flags, seconds, microseconds
constexpr uint16_t kInstanceBit = 0x01, kHorizontalBit = 0x02, kVerticalBit = 0x04,
                   kHorizontalContextBit = 0x08, kVerticalContextBit = 0x10;

class Walk {
 public:
  Walk(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  bool u8(size_t *value) {
    if (pos_ >= size_) return false;
    *value = data_[pos_++];
    return true;
  }
  bool u16(size_t *value) {
    if (size_ - pos_ < 2) return false;
    *value = size_t{data_[pos_]} << 8 | data_[pos_ + 1];
    pos_ += 2;
    return true;
  }
  bool view(size_t n, std::string_view *out) {
    if (n > size_ - pos_) return false;
    *out = std::string_view(reinterpret_cast<const char *>(data_) + pos_, n);
    pos_ += n;
    return true;
  }
  // A values list: count, then (name length, value length) descriptors, then the bytes.
  // kind < 0 skips it.
  bool list(int kind, std::vector<PairView> *pairs) {
    size_t count = 0;
    if (!u8(&count) || 3 * count > size_ - pos_) return false;
    const size_t descriptors = pos_;
    pos_ += 3 * count;
    for (size_t i = 0; i < count; ++i) {
      const uint8_t *descriptor = data_ + descriptors + 3 * i;
      const size_t name_length = descriptor[0];
      const size_t value_length = size_t{descriptor[1]} << 8 | descriptor[2];
      PairView pair{static_cast<PairKind>(kind < 0 ? 0 : kind), {}, {}};
      if (!view(name_length, &pair.name) || !view(value_length, &pair.value)) return false;
      if (kind >= 0) pairs->push_back(pair);
    }
    return true;
  }
  bool association(std::string_view *link, std::vector<PairView> *pairs) {
    size_t caller_type = 0, link_length = 0;
    return u8(&caller_type) && u8(&link_length) && view(link_length, link) && list(kStitch, pairs);
  }
  void skip(size_t n) { pos_ += n; }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace

bool read_event_fields(const wire::MessageView &event, EventFields *fields,
                       std::vector<PairView> *pairs) {
  *fields = EventFields();
  if (event.kind != wire::MessageKind::kEvent || event.length < kHeaderBytes + kFixedPayload) {
    return false;
  }
  Walk walk(event.data + kHeaderBytes, event.length - kHeaderBytes);
  walk.skip(kFixedPayload);
  std::string_view ignored;
  size_t id_length = 0;
  if ((event.presence & kInstanceBit) && !(walk.u16(&id_length) && walk.view(id_length, &ignored) &&
                                           walk.list(kTransactionData, pairs))) {
    return false;
  }
  if ((event.presence & kHorizontalBit) && !walk.association(&fields->hlink, pairs)) return false;
  if ((event.presence & kVerticalBit) && !walk.association(&fields->vlink, pairs)) return false;
  if ((event.presence & kHorizontalContextBit) && !walk.list(-1, pairs)) return false;
  if ((event.presence & kVerticalContextBit) && !walk.list(-1, pairs)) return false;
  return true;
}

}  // namespace store
}  // namespace veska
