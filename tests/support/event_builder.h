// Builds qiva_event_t records whose lists, names and bytes live as long as the builder, and
// turns a record into the fields the decoder should give back for it. Link veska_decoder.
#ifndef VESKA_TESTS_SUPPORT_EVENT_BUILDER_H
#define VESKA_TESTS_SUPPORT_EVENT_BUILDER_H

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "private_api.h"
#include "tools/collector/decoding/decoder.h"

namespace veska_test {

using veska::wire::Bytes;

struct Item {
  std::string name;
  Bytes value;
};

class EventBuilder {
 public:
  EventBuilder() : event_{} {}
  EventBuilder(const EventBuilder &) = delete;
  EventBuilder &operator=(const EventBuilder &) = delete;

  qiva_event_t &event() { return event_; }

  // A chain of items in the given order; an empty vector gives a null list.
  qiva_values_list_t *list(const std::vector<Item> &items) {
    qiva_values_list_t *head = nullptr;
    qiva_values_list_t **link = &head;
    for (const Item &item : items) {
      names_.push_back(item.name);
      values_.push_back(item.value);
      nodes_.emplace_back();
      qiva_values_list_t &node = nodes_.back();
      node = qiva_values_list_t{};
      node.name = names_.back().c_str();
      node.value = values_.back().empty() ? nullptr : values_.back().data();
      node.size = static_cast<qiva_uint16_t>(values_.back().size());
      *link = &node;
      link = &node.next;
    }
    return head;
  }

  // Bytes that stay valid for the builder's life.
  const qiva_byte_t *bytes(const Bytes &b) {
    values_.push_back(b);
    return values_.back().empty() ? nullptr : values_.back().data();
  }

  void transaction_id(const Bytes &b) {
    event_.instance_id.transaction_id = bytes(b);
    event_.instance_id.size = static_cast<qiva_uint16_t>(b.size());
  }
  void link_id(qiva_association_id_t *id, const Bytes &b) {
    id->link_id = bytes(b);
    id->link_id_size = static_cast<qiva_uint8_t>(b.size());
  }

  // Size, allocate and serialise; the returned vector is exactly the message.
  Bytes serialise() {
    ve_uint16_t payload = VE_calculate_event_message_size(&event_);
    Bytes out(payload + 4u);
    VE_serialise_event_message(&event_, out.data(), static_cast<ve_uint16_t>(payload + 4u));
    return out;
  }

 private:
  qiva_event_t event_;
  std::deque<qiva_values_list_t> nodes_;
  std::deque<std::string> names_;
  std::deque<Bytes> values_;
};

// The worked HERE event: transaction id "ABC" with one item k=v, vertical caller type 5 and
// link id {1, 2}, at 1000 s 250 us. It serialises to 32 bytes.
inline void fill_here_example(EventBuilder &b) {
  qiva_event_t &e = b.event();
  e.type = QIVA_HERE_EVENT;
  e.timestamp = {1000, 250};
  b.transaction_id({'A', 'B', 'C'});
  e.instance_id.transaction_data = b.list({{"k", {'v'}}});
  e.vertical_id.caller_type = 5;
  b.link_id(&e.vertical_id, {1, 2});
}

inline veska::wire::ValuesList expected_list(const qiva_values_list_t *list) {
  veska::wire::ValuesList out;
  for (; list != nullptr; list = list->next) {
    veska::wire::ValueItem item;
    item.name = std::string(list->name).substr(0, 255);
    if (list->size != 0) item.value.assign(list->value, list->value + list->size);
    out.push_back(std::move(item));
  }
  return out;
}

inline veska::wire::AssociationSection expected_association(const qiva_association_id_t &id) {
  veska::wire::AssociationSection s;
  s.caller_type = static_cast<uint8_t>(id.caller_type);
  if (id.link_id_size != 0) s.link_id.assign(id.link_id, id.link_id + id.link_id_size);
  s.stitch_ids = expected_list(id.stitch_ids);
  return s;
}

// The fields the decoder must give back for a valid record, by the presence rules stated
// independently of the library's code.
inline veska::wire::EventMessage expected_event(const qiva_event_t &e) {
  veska::wire::EventMessage m;
  m.type = static_cast<uint16_t>(e.type);
  m.blocked = e.blocked != 0;
  m.seconds = e.timestamp.sec;
  m.microseconds = e.timestamp.usec;
  const qiva_instance_id_t &i = e.instance_id;
  if (i.size != 0 || i.transaction_data != nullptr) {
    m.presence |= 0x01;
    m.instance.emplace();
    if (i.size != 0) m.instance->transaction_id.assign(i.transaction_id, i.transaction_id + i.size);
    m.instance->transaction_data = expected_list(i.transaction_data);
  }
  if (e.horizontal_id.link_id != nullptr || e.horizontal_id.stitch_ids != nullptr) {
    m.presence |= 0x02;
    m.horizontal = expected_association(e.horizontal_id);
  }
  const qiva_association_id_t &v = e.vertical_id;
  if (v.caller_type != 0 || v.link_id != nullptr || v.stitch_ids != nullptr) {
    m.presence |= 0x04;
    m.vertical = expected_association(v);
  }
  if (e.horizontal_context != nullptr) {
    m.presence |= 0x08;
    m.horizontal_context = expected_list(e.horizontal_context);
  }
  if (e.vertical_context != nullptr) {
    m.presence |= 0x10;
    m.vertical_context = expected_list(e.vertical_context);
  }
  return m;
}

}  // namespace veska_test

// Field-wise equality for the decoder's structs, found by argument-dependent lookup (also
// from std::optional and std::vector comparisons).
namespace veska {
namespace wire {

inline bool operator==(const ValueItem &a, const ValueItem &b) {
  return a.name == b.name && a.value == b.value;
}
inline bool operator==(const InstanceSection &a, const InstanceSection &b) {
  return a.transaction_id == b.transaction_id && a.transaction_data == b.transaction_data;
}
inline bool operator==(const AssociationSection &a, const AssociationSection &b) {
  return a.caller_type == b.caller_type && a.link_id == b.link_id && a.stitch_ids == b.stitch_ids;
}
inline bool operator==(const EventMessage &a, const EventMessage &b) {
  return a.type == b.type && a.blocked == b.blocked && a.presence == b.presence &&
         a.seconds == b.seconds && a.microseconds == b.microseconds && a.instance == b.instance &&
         a.horizontal == b.horizontal && a.vertical == b.vertical &&
         a.horizontal_context == b.horizontal_context && a.vertical_context == b.vertical_context;
}

}  // namespace wire
}  // namespace veska

#endif  // VESKA_TESTS_SUPPORT_EVENT_BUILDER_H
