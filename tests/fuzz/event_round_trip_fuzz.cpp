// Events built from the input go the way QIVA_track takes them: validation, size calculation,
// serialisation into a block of exactly the calculated size, then the collector's decoder.
// A valid event must decode to every field it was given, in a message exactly as long as
// calculated; an invalid one must get the code of its first fault in the validation order and
// is never sized or serialised. The expectations are derived here from the record alone.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "support/event_builder.h"

namespace {

using veska::wire::AssociationSection;
using veska::wire::EventMessage;
using veska::wire::ValuesList;
using veska_test::Bytes;
using veska_test::EventBuilder;
using veska_test::expected_event;
using veska_test::Item;

// Most choices are valid, so that most inputs get past validation; a few are anything.
class EventInput {
 public:
  EventInput(const uint8_t *data, size_t size) : in_(data, size) {}

  bool chance(int percent) { return in_.ConsumeIntegralInRange<int>(0, 99) < percent; }
  uint32_t mostly_at_most(uint32_t valid_max) {
    return chance(95) ? in_.ConsumeIntegralInRange<uint32_t>(0, valid_max)
                      : in_.ConsumeIntegral<uint32_t>();
  }
  Bytes bytes(size_t max_length) {
    return in_.ConsumeBytes<uint8_t>(in_.ConsumeIntegralInRange<size_t>(0, max_length));
  }

  // A chain of items; now and then one item gets a fault validation must find.
  qiva_values_list_t *list(EventBuilder &b) {
    size_t count = in_.ConsumeIntegralInRange<size_t>(0, chance(3) ? 300 : 6);
    std::vector<Item> items(count);
    for (Item &item : items) {
      std::string name = in_.ConsumeRandomLengthString(chance(3) ? 400 : 16);
      item = Item{name.c_str(), bytes(chance(3) ? 700 : 24)};  // cut at the first NUL
    }
    qiva_values_list_t *head = b.list(items);
    for (qiva_values_list_t *node = head; node != nullptr; node = node->next) {
      node->flags = static_cast<qiva_uint16_t>(in_.ConsumeIntegralInRange<int>(0, 3));
      if (!chance(4)) continue;
      switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
          node->name = nullptr;
          break;
        case 1:
          node->value = nullptr;
          node->size = 1 + node->size;
          break;
        case 2:
          node->size = 0;
          if (node->value == nullptr) node->value = b.bytes({1});
          break;
        default:
          node->flags = static_cast<qiva_uint16_t>(4 + in_.ConsumeIntegral<uint8_t>());
      }
    }
    return head;
  }

  void association(EventBuilder &b, qiva_association_id_t *id) {
    if (chance(50)) id->caller_type = mostly_at_most(255);
    if (chance(50)) {
      Bytes link = bytes(255);
      if (!link.empty()) b.link_id(id, link);
    }
    if (chance(3)) id->link_id_size = 0;   // pointer only
    if (chance(3)) id->link_id = nullptr;  // length only
    if (chance(50)) id->stitch_ids = list(b);
    id->flags = static_cast<qiva_uint16_t>(mostly_at_most(1));
  }

  void fill(EventBuilder &b) {
    qiva_event_t &e = b.event();
    e.type = mostly_at_most(9);
    e.blocked = chance(30) ? in_.ConsumeIntegral<int32_t>() : 0;
    e.timestamp.sec = in_.ConsumeIntegral<uint32_t>();
    e.timestamp.usec = mostly_at_most(999999);
    if (chance(60)) {
      Bytes id = bytes(chance(5) ? 70000 : 40);
      id.resize(std::min<size_t>(id.size(), 65535));
      if (!id.empty()) b.transaction_id(id);
    }
    if (chance(3)) e.instance_id.size = 0;
    if (chance(3)) e.instance_id.transaction_id = nullptr;
    e.instance_id.flags = static_cast<qiva_uint16_t>(mostly_at_most(1));
    if (chance(50)) e.instance_id.transaction_data = list(b);
    association(b, &e.horizontal_id);
    association(b, &e.vertical_id);
    if (chance(40)) e.horizontal_context = list(b);
    if (chance(40)) e.vertical_context = list(b);
  }

 private:
  FuzzedDataProvider in_;
};

// The fault kind of a list's first faulty item (name, value, length, flag), or 0.
int _list_fault(const qiva_values_list_t *list) {
  for (; list != nullptr; list = list->next) {
    if (list->name == nullptr) return QIVA_LIST_FAULT_NAME;
    if (list->value == nullptr && list->size != 0) return QIVA_LIST_FAULT_VALUE;
    if (list->value != nullptr && list->size == 0) return QIVA_LIST_FAULT_LENGTH;
    if (list->flags > 3) return QIVA_LIST_FAULT_FLAG;
  }
  return 0;
}

// The documented validation order: the first fault found decides the code.
int _expected_code(const qiva_event_t &e) {
  const qiva_instance_id_t &i = e.instance_id;
  const qiva_association_id_t &h = e.horizontal_id;
  const qiva_association_id_t &v = e.vertical_id;
  const struct {
    bool fault;
    int code;
  } checks[] = {
      {e.timestamp.usec > 999999, QIVA_ERR_EVENT_INVALID_TIMESTAMP},
      {e.type > 9, QIVA_ERR_EVENT_INVALID_EVENT_TYPE},
      {i.transaction_id != nullptr && i.size == 0, QIVA_ERR_EVENT_INVALID_TID_LENGTH},
      {i.transaction_id == nullptr && i.size != 0, QIVA_ERR_EVENT_INVALID_TID_ADDRESS},
      {h.link_id != nullptr && h.link_id_size == 0, QIVA_ERR_EVENT_INVALID_HLINK_LENGTH},
      {h.link_id == nullptr && h.link_id_size != 0, QIVA_ERR_EVENT_INVALID_HLINK_ADDRESS},
      {v.link_id != nullptr && v.link_id_size == 0, QIVA_ERR_EVENT_INVALID_VLINK_LENGTH},
      {v.link_id == nullptr && v.link_id_size != 0, QIVA_ERR_EVENT_INVALID_VLINK_ADDRESS},
      {h.caller_type > 255, QIVA_ERR_EVENT_INVALID_HLINK_CALLER},
      {v.caller_type > 255, QIVA_ERR_EVENT_INVALID_VLINK_CALLER},
      {v.flags > 1, QIVA_ERR_EVENT_INVALID_VLINK_FLAG},
      {h.flags > 1, QIVA_ERR_EVENT_INVALID_HLINK_FLAG},
      {i.flags > 1, QIVA_ERR_EVENT_INVALID_TID_FLAG},
  };
  for (const auto &check : checks) {
    if (check.fault) return check.code;
  }
  const struct {
    const qiva_values_list_t *list;
    int base;
  } lists[] = {{e.horizontal_context, QIVA_ERR_EVENT_HCONTEXT_BASE},
               {e.vertical_context, QIVA_ERR_EVENT_VCONTEXT_BASE},
               {i.transaction_data, QIVA_ERR_EVENT_TDATA_BASE},
               {v.stitch_ids, QIVA_ERR_EVENT_VSTITCH_BASE},
               {h.stitch_ids, QIVA_ERR_EVENT_HSTITCH_BASE}};
  for (const auto &list : lists) {
    if (int kind = _list_fault(list.list)) return list.base + kind;
  }
  return QIVA_SUCCESS;
}

// Payload bytes of the expected fields, or more than 65534 when a list has more items than
// its count byte holds (the calculation must then answer "too large").
size_t _list_bytes(const ValuesList &list) {
  size_t n = 1;
  for (const auto &item : list) n += 3 + item.name.size() + item.value.size();
  return list.size() > 255 ? 70000 : n;
}
size_t _association_bytes(const std::optional<AssociationSection> &s) {
  return s ? 2 + s->link_id.size() + _list_bytes(s->stitch_ids) : 0;
}
size_t _payload_bytes(const EventMessage &m) {
  size_t n = 12;
  if (m.instance)
    n += 2 + m.instance->transaction_id.size() + _list_bytes(m.instance->transaction_data);
  n += _association_bytes(m.horizontal) + _association_bytes(m.vertical);
  if (m.horizontal_context) n += _list_bytes(*m.horizontal_context);
  if (m.vertical_context) n += _list_bytes(*m.vertical_context);
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  EventBuilder builder;
  EventInput(data, size).fill(builder);
  const qiva_event_t &event = builder.event();
  const qiva_event_t before = event;

  const int code = VE_preprocess_event(&event);
  if (code != _expected_code(event)) abort();
  if (code != QIVA_SUCCESS) return 0;  // as on the tracking path: never sized or serialised

  EventMessage expected = expected_event(event);
  expected.seconds = expected.microseconds = 0;  // checked on their own below
  const size_t expected_payload = _payload_bytes(expected);
  const ve_uint16_t payload = VE_calculate_event_message_size(&event);
  if (expected_payload > VE_EVENT_PAYLOAD_MAX) {
    if (payload != VE_EVENT_PAYLOAD_TOO_LARGE) abort();
    return 0;
  }
  if (payload != expected_payload) abort();
  if (payload > VE_EVENT_PAYLOAD_LIMIT) return 0;  // tracking refuses it with 100

  // Exactly the calculated size: a byte written past it is an AddressSanitizer report, a byte
  // short of it is a length mismatch in the decoder.
  std::vector<unsigned char> message(payload + 4u);
  if (VE_serialise_event_message(&event, message.data(),
                                 static_cast<ve_uint16_t>(message.size())) != 0)
    abort();
  if (std::memcmp(&before, &event, sizeof before) != 0) abort();  // the record is not touched

  veska::wire::Message decoded;
  veska::wire::DecodeError error;
  if (!veska::wire::decode_message(message.data(), message.size(), 0, &decoded, &error)) abort();
  if (decoded.kind != veska::wire::MessageKind::kEvent || decoded.length != message.size()) abort();
  EventMessage got = decoded.event;
  if (event.timestamp.sec == 0 && event.timestamp.usec == 0) {
    if (got.microseconds > 999999) abort();  // "now" was filled in
  } else if (got.seconds != event.timestamp.sec || got.microseconds != event.timestamp.usec) {
    abort();
  }
  got.seconds = got.microseconds = 0;
  if (!(got == expected)) abort();
  return 0;
}
