// Property test: random events, serialised by the library and decoded by the strict decoder,
// give back exactly their fields. The expected fields are derived from the record alone
// (support/event_builder.h), by the presence rules stated independently of the library's code.
#include <gtest/gtest.h>

#include <random>

#include "support/event_builder.h"

namespace {

using veska_test::Bytes;
using veska_test::EventBuilder;
using veska_test::expected_event;
using veska_test::Item;

class RandomEvents {
 public:
  explicit RandomEvents(uint32_t start) : rng_(start) {}

  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool chance(int percent) { return below(100) < percent; }

  Bytes bytes(int max_length) {
    Bytes b(below(max_length + 1));
    for (auto &c : b) c = static_cast<uint8_t>(below(256));
    return b;
  }
  std::string name() {
    // Mostly short names, sometimes longer than the 255 bytes that are sent.
    std::string s(chance(5) ? 250 + below(60) : below(12), 'x');
    for (auto &c : s) c = static_cast<char>(1 + below(255));  // any byte but NUL
    return s;
  }
  qiva_values_list_t *list(EventBuilder &b) {
    std::vector<Item> items(chance(20) ? 0 : 1 + below(chance(5) ? 40 : 5));
    for (auto &item : items) item = Item{name(), bytes(chance(5) ? 600 : 20)};
    return b.list(items);
  }
  void association(EventBuilder &b, qiva_association_id_t *id) {
    if (chance(50)) id->caller_type = static_cast<qiva_uint32_t>(below(256));
    if (chance(50)) {
      Bytes link = bytes(255);
      if (!link.empty()) b.link_id(id, link);
    }
    if (chance(50)) id->stitch_ids = list(b);
  }
  void fill(EventBuilder &b) {
    qiva_event_t &e = b.event();
    e.type = static_cast<qiva_uint32_t>(below(10));
    e.blocked = chance(30) ? below(1000) - 500 : 0;
    e.timestamp = {1 + static_cast<qiva_uint32_t>(rng_() >> 1),
                   static_cast<qiva_uint32_t>(below(1000000))};
    if (chance(60)) {
      Bytes id = bytes(chance(5) ? 2000 : 40);
      if (!id.empty()) b.transaction_id(id);
    }
    if (chance(50)) e.instance_id.transaction_data = list(b);
    association(b, &e.horizontal_id);
    association(b, &e.vertical_id);
    if (chance(40)) e.horizontal_context = list(b);
    if (chance(40)) e.vertical_context = list(b);
    // Fields that are never sent.
    e.instance_id.flags = static_cast<qiva_uint16_t>(below(2));
    e.horizontal_id.flags = static_cast<qiva_uint16_t>(below(2));
  }

 private:
  std::mt19937 rng_;
};

TEST(EventRoundTrip, RandomEventsDecodeToTheirFields) {
  RandomEvents random(20240611);
  for (int i = 0; i < 3000; ++i) {
    EventBuilder b;
    random.fill(b);
    const ve_uint16_t payload = VE_calculate_event_message_size(&b.event());
    ASSERT_LE(payload, VE_EVENT_PAYLOAD_LIMIT) << "case " << i;
    const Bytes wire = b.serialise();
    veska::wire::Message m;
    veska::wire::DecodeError error;
    ASSERT_TRUE(veska::wire::decode_message(wire.data(), wire.size(), 0, &m, &error))
        << "case " << i << " at " << error.offset << ": " << error.reason;
    ASSERT_EQ(m.kind, veska::wire::MessageKind::kEvent);
    ASSERT_EQ(m.length, payload + 4u);
    ASSERT_TRUE(m.event == expected_event(b.event())) << "case " << i;
  }
}

}  // namespace
