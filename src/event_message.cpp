// Sizing and writing one event message. The tracking path sizes the message, takes a pool
// block of exactly that size and writes into it, trusting that the writer produces exactly
// the bytes the calculation counted. Both therefore take the set of present sections from
// one function, _presence_flags, and the byte counts of names from one function,
// _name_length; on the tracking path the writer even reuses the counts sizing recorded.
#include "src/event_message.h"

#include <string.h>

#include "lib/serialisation/serialisation.h"
#include "lib/vecommon/ve_time.h"
#include "protocol/message_header.h"

namespace {

enum : ve_uint16_t {
  kInstancePresent = 0x01,
  kHorizontalPresent = 0x02,
  kVerticalPresent = 0x04,
  kHorizontalContextPresent = 0x08,
  kVerticalContextPresent = 0x10,
};

// Event word 2, presence flags 2, seconds 4, microseconds 4.
constexpr ve_uint32_t kFixedPayload = 12;
constexpr ve_uint16_t kBlockedBit = 0x8000;
// The item count of a list is a single byte.
constexpr ve_uint32_t kMaxListItems = 255;
constexpr ve_uint32_t kMaxNameLength = 255;

// Which sections the event carries. A horizontal caller type on its own does not make the
// horizontal section present; a vertical one does.
ve_uint16_t _presence_flags(const qiva_event_t *event) {
  ve_uint16_t flags = 0;
  const qiva_instance_id_t &instance = event->instance_id;
  if (instance.size != 0 || instance.transaction_data != nullptr) flags |= kInstancePresent;
  const qiva_association_id_t &horizontal = event->horizontal_id;
  if (horizontal.link_id != nullptr || horizontal.stitch_ids != nullptr) {
    flags |= kHorizontalPresent;
  }
  const qiva_association_id_t &vertical = event->vertical_id;
  if (vertical.caller_type != 0 || vertical.link_id != nullptr || vertical.stitch_ids != nullptr) {
    flags |= kVerticalPresent;
  }
  if (event->horizontal_context != nullptr) flags |= kHorizontalContextPresent;
  if (event->vertical_context != nullptr) flags |= kVerticalContextPresent;
  return flags;
}

// Bytes of an item's name on the wire: the text without its NUL, cut to 255. strnlen never
// looks past the 255th byte, so an unterminated long name is not overrun either.
ve_uint32_t _name_length(const qiva_values_list_t *item) {
  return item->name != nullptr ? static_cast<ve_uint32_t>(strnlen(item->name, kMaxNameLength)) : 0;
}

// The wire integers, through the inlined writers: this is the writer that runs for every event.
inline void _put16(unsigned char *p, ve_uint32_t value) {
  VE_pack_uint16_inline(static_cast<ve_uint16_t>(value), p);
}

inline void _put32(unsigned char *p, ve_uint32_t value) { VE_pack_uint32_inline(value, p); }

// Size of a values list, or VE_EVENT_PAYLOAD_TOO_LARGE once its running size passes the
// largest payload or it has more items than its count byte can hold. The second test also
// bounds the walk, whatever the chain looks like. Records the item count and each name's
// length for the writer; lengths has room for 255.
ve_uint32_t _list_size(const qiva_values_list_t *list, ve_uint8_t *count_out, ve_uint8_t *lengths) {
  ve_uint32_t size = 1;  // the count byte
  ve_uint32_t count = 0;
  for (const qiva_values_list_t *item = list; item != nullptr; item = item->next) {
    if (count == kMaxListItems) return VE_EVENT_PAYLOAD_TOO_LARGE;
    ve_uint32_t name_length = _name_length(item);
    lengths[count++] = static_cast<ve_uint8_t>(name_length);
    size += name_length + 3 + item->size;
    if (size > VE_EVENT_PAYLOAD_MAX) return VE_EVENT_PAYLOAD_TOO_LARGE;
  }
  *count_out = static_cast<ve_uint8_t>(count);
  return size;
}

ve_uint32_t _association_size(const qiva_association_id_t &id, ve_uint8_t *count_out,
                              ve_uint8_t *lengths) {
  ve_uint32_t list = _list_size(id.stitch_ids, count_out, lengths);
  if (list > VE_EVENT_PAYLOAD_MAX) return VE_EVENT_PAYLOAD_TOO_LARGE;
  return 2 + id.link_id_size + list;
}

// Copies n bytes, or writes n zeros when the caller left the pointer null. Validation
// forbids a length without bytes; this keeps the writer memory-safe and the message framed
// even if it was skipped.
unsigned char *_put_bytes(unsigned char *p, const void *bytes, size_t n) {
  if (n == 0) return p;
  if (bytes != nullptr) {
    // Names, ids and values are mostly a few bytes: copies of a fixed width, overlapping for
    // the lengths in between, are inlined where a library call would cost more than the copy.
    const unsigned char *from = static_cast<const unsigned char *>(bytes);
    if (n >= 8 && n <= 16) {
      memcpy(p, from, 8);
      memcpy(p + n - 8, from + n - 8, 8);
    } else if (n >= 4 && n < 8) {
      memcpy(p, from, 4);
      memcpy(p + n - 4, from + n - 4, 4);
    } else if (n < 4) {
      for (size_t i = 0; i < n; ++i) p[i] = from[i];
    } else {
      memcpy(p, from, n);
    }
  } else {
    memset(p, 0, n);
  }
  return p + n;
}

// What the writer knows of a list before it writes it: from sizing (count and lengths), or
// nothing (lengths null), when it counts the items and measures every name itself.
struct _list_plan_t {
  ve_uint32_t count;
  const ve_uint8_t *lengths;
};

// Count byte, then one 3-byte descriptor per item, then every item's name and value bytes.
unsigned char *_write_list(unsigned char *p, const qiva_values_list_t *list, _list_plan_t plan) {
  ve_uint32_t count = plan.count;
  if (plan.lengths == nullptr) {
    count = 0;
    for (const qiva_values_list_t *item = list; item != nullptr; item = item->next) ++count;
  }
  // The size calculation refused any list of more than 255 items.
  *p++ = static_cast<unsigned char>(count);
  unsigned char *descriptor = p;
  p += 3 * count;
  ve_uint32_t i = 0;
  for (const qiva_values_list_t *item = list; item != nullptr; item = item->next, ++i) {
    ve_uint32_t name_length = plan.lengths != nullptr ? plan.lengths[i] : _name_length(item);
    descriptor[0] = static_cast<unsigned char>(name_length);
    _put16(descriptor + 1, item->size);
    descriptor += 3;
    p = _put_bytes(p, item->name, name_length);
    p = _put_bytes(p, item->value, item->size);
  }
  return p;
}

unsigned char *_write_association(unsigned char *p, const qiva_association_id_t &id,
                                  _list_plan_t plan) {
  *p++ = static_cast<unsigned char>(id.caller_type);
  *p++ = id.link_id_size;
  p = _put_bytes(p, id.link_id, id.link_id_size);
  return _write_list(p, id.stitch_ids, plan);
}

enum : int { kInstanceList, kHorizontalList, kVerticalList, kHorizontalContext, kVerticalContext };

// The plan of list `which`; with no layout, the writer measures everything itself.
inline _list_plan_t _plan(const ve_event_layout_t *layout, int which) {
  if (layout == nullptr) return {0, nullptr};
  return {layout->counts[which], layout->name_lengths + 255 * which};
}

// Header, fixed fields and every present section; flags are the event's presence flags.
void _write_event(const qiva_event_t *event, ve_uint16_t flags, const ve_event_layout_t *layout,
                  unsigned char *buffer, ve_uint16_t size) {
  VE_serialise_message_header(buffer, VE_MESSAGE_EVENT,
                              static_cast<ve_uint16_t>(size - VE_MESSAGE_HEADER_SIZE),
                              VE_EVENT_VERSION);
  // Validation keeps the type at 0 to 9; masking keeps a stray high bit from posing as the
  // blocked bit.
  ve_uint16_t word = static_cast<ve_uint16_t>(event->type & 0x7FFFu);
  if (event->blocked != 0) word |= kBlockedBit;
  _put16(buffer + 4, word);
  _put16(buffer + 6, flags);

  ve_time_t when = event->timestamp;
  if (when.sec == 0 && when.usec == 0) QIVA_time(&when);  // zero means "now"
  _put32(buffer + 8, when.sec);
  _put32(buffer + 12, when.usec);

  unsigned char *p = buffer + VE_MESSAGE_HEADER_SIZE + kFixedPayload;
  if (flags & kInstancePresent) {
    _put16(p, event->instance_id.size);
    p = _put_bytes(p + 2, event->instance_id.transaction_id, event->instance_id.size);
    p = _write_list(p, event->instance_id.transaction_data, _plan(layout, kInstanceList));
  }
  if (flags & kHorizontalPresent) {
    p = _write_association(p, event->horizontal_id, _plan(layout, kHorizontalList));
  }
  if (flags & kVerticalPresent) {
    p = _write_association(p, event->vertical_id, _plan(layout, kVerticalList));
  }
  if (flags & kHorizontalContextPresent) {
    p = _write_list(p, event->horizontal_context, _plan(layout, kHorizontalContext));
  }
  if (flags & kVerticalContextPresent) {
    p = _write_list(p, event->vertical_context, _plan(layout, kVerticalContext));
  }
}

}  // namespace

ve_uint16_t VE_size_event_layout(const qiva_event_t *event, ve_event_layout_t *layout) {
  // 32-bit sums: each added piece is at most 2 + 65535 + 65534, so no sum can wrap before
  // it is compared with the limit.
  const ve_uint16_t flags = _presence_flags(event);
  layout->flags = flags;
  ve_uint8_t *const counts = layout->counts;
  ve_uint8_t *const lengths = layout->name_lengths;
  ve_uint32_t total = kFixedPayload;
  if (flags & kInstancePresent) {
    ve_uint32_t list = _list_size(event->instance_id.transaction_data, &counts[kInstanceList],
                                  lengths + 255 * kInstanceList);
    if (list > VE_EVENT_PAYLOAD_MAX) return VE_EVENT_PAYLOAD_TOO_LARGE;
    total += 2 + event->instance_id.size + list;
    if (total > VE_EVENT_PAYLOAD_MAX) return VE_EVENT_PAYLOAD_TOO_LARGE;
  }
  if (flags & kHorizontalPresent) {
    ve_uint32_t section = _association_size(event->horizontal_id, &counts[kHorizontalList],
                                            lengths + 255 * kHorizontalList);
    if (section > VE_EVENT_PAYLOAD_MAX) return VE_EVENT_PAYLOAD_TOO_LARGE;
    total += section;
    if (total > VE_EVENT_PAYLOAD_MAX) return VE_EVENT_PAYLOAD_TOO_LARGE;
  }
  if (flags & kVerticalPresent) {
    ve_uint32_t section = _association_size(event->vertical_id, &counts[kVerticalList],
                                            lengths + 255 * kVerticalList);
    if (section > VE_EVENT_PAYLOAD_MAX) return VE_EVENT_PAYLOAD_TOO_LARGE;
    total += section;
    if (total > VE_EVENT_PAYLOAD_MAX) return VE_EVENT_PAYLOAD_TOO_LARGE;
  }
  if (flags & kHorizontalContextPresent) {
    total += _list_size(event->horizontal_context, &counts[kHorizontalContext],
                        lengths + 255 * kHorizontalContext);
    if (total > VE_EVENT_PAYLOAD_MAX) return VE_EVENT_PAYLOAD_TOO_LARGE;
  }
  if (flags & kVerticalContextPresent) {
    total += _list_size(event->vertical_context, &counts[kVerticalContext],
                        lengths + 255 * kVerticalContext);
    if (total > VE_EVENT_PAYLOAD_MAX) return VE_EVENT_PAYLOAD_TOO_LARGE;
  }
  return static_cast<ve_uint16_t>(total);
}

void VE_write_event_layout(const qiva_event_t *event, const ve_event_layout_t *layout,
                           unsigned char *buffer, ve_uint16_t size) {
  _write_event(event, layout->flags, layout, buffer, size);
}

extern "C" {

ve_uint16_t VE_calculate_event_message_size(const qiva_event_t *event) {
  ve_event_layout_t layout;
  return VE_size_event_layout(event, &layout);
}

int VE_serialise_event_message(const qiva_event_t *event, unsigned char *buffer, ve_uint16_t size) {
  if (buffer == nullptr) return QIVA_ERR_NOMEM;
  // A caller outside the tracking path has no layout: the writer measures as it goes.
  _write_event(event, _presence_flags(event), nullptr, buffer, size);
  return 0;
}

}  // extern "C"
