// Event message sizing and bytes: the worked example, presence rules, name capping, the
// timestamp rule and the size limits.
#include <gtest/gtest.h>

#include "support/event_builder.h"

namespace {

using veska::wire::Message;
using veska::wire::MessageKind;
using veska_test::Bytes;
using veska_test::EventBuilder;
using veska_test::Item;

Message decode_one(const Bytes &b) {
  Message m;
  veska::wire::DecodeError e;
  EXPECT_TRUE(veska::wire::decode_message(b.data(), b.size(), 0, &m, &e))
      << e.offset << ": " << e.reason;
  EXPECT_EQ(m.kind, MessageKind::kEvent);
  return m;
}

TEST(EventMessage, HereExampleBytesAndDecode) {
  EventBuilder b;
  veska_test::fill_here_example(b);

  EXPECT_EQ(VE_calculate_event_message_size(&b.event()), 28);
  const Bytes wire = b.serialise();
  const Bytes expected = {0x01, 0x00, 0x00, 0x1C, 0x00, 0x01, 0x00, 0x05, 0x00, 0x00, 0x03,
                          0xE8, 0x00, 0x00, 0x00, 0xFA, 0x00, 0x03, 0x41, 0x42, 0x43, 0x01,
                          0x01, 0x00, 0x01, 0x6B, 0x76, 0x05, 0x02, 0x01, 0x02, 0x00};
  EXPECT_EQ(wire, expected);

  const veska::wire::EventMessage d = decode_one(wire).event;
  EXPECT_EQ(d.type, 1);
  EXPECT_FALSE(d.blocked);
  EXPECT_EQ(d.presence, 0x05);
  EXPECT_EQ(d.seconds, 1000u);
  EXPECT_EQ(d.microseconds, 250u);
  ASSERT_TRUE(d.instance);
  EXPECT_EQ(d.instance->transaction_id, (Bytes{'A', 'B', 'C'}));
  ASSERT_EQ(d.instance->transaction_data.size(), 1u);
  EXPECT_EQ(d.instance->transaction_data[0].name, "k");
  EXPECT_EQ(d.instance->transaction_data[0].value, (Bytes{'v'}));
  EXPECT_FALSE(d.horizontal);
  ASSERT_TRUE(d.vertical);
  EXPECT_EQ(d.vertical->caller_type, 5);
  EXPECT_EQ(d.vertical->link_id, (Bytes{1, 2}));
  EXPECT_TRUE(d.vertical->stitch_ids.empty());
  EXPECT_FALSE(d.horizontal_context);
  EXPECT_FALSE(d.vertical_context);
}

TEST(EventMessage, NoSectionsAndBlockedWord) {
  EventBuilder b;
  b.event().type = QIVA_STARTED_EVENT;
  b.event().timestamp = {0x01020304, 0x0A0B0C0D};
  b.event().blocked = -7;  // any non-zero value sets only bit 15
  EXPECT_EQ(VE_calculate_event_message_size(&b.event()), 12);
  EXPECT_EQ(b.serialise(), (Bytes{0x01, 0x00, 0x00, 0x0C, 0x80, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03,
                                  0x04, 0x0A, 0x0B, 0x0C, 0x0D}));
  b.event().blocked = 0;
  b.event().type = 9;
  const Bytes w = b.serialise();
  EXPECT_EQ(w[4], 0x00);
  EXPECT_EQ(w[5], 0x09);
}

TEST(EventMessage, CallerTypeAloneOnlyMakesTheVerticalSection) {
  EventBuilder b;
  b.event().timestamp = {1, 0};
  b.event().horizontal_id.caller_type = 7;
  EXPECT_EQ(VE_calculate_event_message_size(&b.event()), 12);
  EXPECT_EQ(b.serialise()[7], 0x00);

  b.event().vertical_id.caller_type = 7;
  EXPECT_EQ(VE_calculate_event_message_size(&b.event()), 15);
  const Bytes w = b.serialise();
  EXPECT_EQ(w[7], 0x04);
  EXPECT_EQ(Bytes(w.begin() + 16, w.end()), (Bytes{0x07, 0x00, 0x00}));
}

TEST(EventMessage, LongNamesAreCutAndEmptyValuesTakeNoBytes) {
  EventBuilder b;
  b.event().timestamp = {1, 0};
  const std::string long_name(300, 'n');
  b.event().vertical_context = b.list({{long_name, {9, 8}}, {"e", {}}});
  // count 1 + two descriptors 6 + 255 + 2 + 1
  EXPECT_EQ(VE_calculate_event_message_size(&b.event()), 12 + 1 + 6 + 255 + 2 + 1);
  const Bytes w = b.serialise();
  EXPECT_EQ(w[7], 0x10);
  EXPECT_EQ(Bytes(w.begin() + 16, w.begin() + 23), (Bytes{2, 0xFF, 0x00, 0x02, 0x01, 0x00, 0x00}));
  EXPECT_EQ(std::string(w.begin() + 23, w.begin() + 278), std::string(255, 'n'));
  EXPECT_EQ(Bytes(w.begin() + 278, w.end()), (Bytes{9, 8, 'e'}));
  const Message m = decode_one(w);
  const auto &list = *m.event.vertical_context;
  EXPECT_EQ(list[0].name.size(), 255u);
  EXPECT_TRUE(list[1].value.empty());
}

TEST(EventMessage, ZeroTimestampMeansNow) {
  EventBuilder b;
  qiva_time_t before = {0, 0}, after = {0, 0};
  QIVA_time(&before);
  const Bytes w = b.serialise();
  QIVA_time(&after);
  const ve_uint64_t sent =
      ve_uint64_t{VE_unpack_uint32(&w[8])} * 1000000 + VE_unpack_uint32(&w[12]);
  EXPECT_GE(sent, ve_uint64_t{before.sec} * 1000000 + before.usec);
  EXPECT_LE(sent, ve_uint64_t{after.sec} * 1000000 + after.usec);
  EXPECT_NE(sent, 0u);

  b.event().timestamp = {0, 1};
  const Bytes kept = b.serialise();
  EXPECT_EQ(Bytes(kept.begin() + 8, kept.end()), (Bytes{0, 0, 0, 0, 0, 0, 0, 1}));
}

TEST(EventMessage, NullBufferIsNoMemory) {
  EventBuilder b;
  EXPECT_EQ(VE_serialise_event_message(&b.event(), nullptr, 16), QIVA_ERR_NOMEM);
}

// One horizontal context item named "a" with n value bytes: payload 12 + 1 + 1 + 3 + n.
ve_uint16_t payload_with_value(EventBuilder &b, size_t n) {
  b.event().horizontal_context = b.list({{"a", Bytes(n, 0x5A)}});
  return VE_calculate_event_message_size(&b.event());
}

TEST(EventMessageSize, BoundaryOfTheLargestPayload) {
  for (ve_uint32_t payload : {65531u, 65532u, 65533u, 65534u}) {
    EventBuilder b;
    EXPECT_EQ(payload_with_value(b, payload - 17), payload);
  }
  for (size_t n : {65518u, 65519u, 65535u}) {
    EventBuilder b;
    EXPECT_EQ(payload_with_value(b, n), VE_EVENT_PAYLOAD_TOO_LARGE) << n;
  }
}

TEST(EventMessageSize, LargestAcceptedMessageSerialisesAndDecodes) {
  EventBuilder b;
  b.event().timestamp = {5, 6};
  ASSERT_EQ(payload_with_value(b, 65531 - 17), VE_EVENT_PAYLOAD_LIMIT);
  const Bytes w = b.serialise();
  ASSERT_EQ(w.size(), 65535u);
  const Message m = decode_one(w);
  const auto &list = *m.event.horizontal_context;
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].value, Bytes(65514, 0x5A));
}

TEST(EventMessageSize, SumsDoNotWrap) {
  // Two lists of about 40000 bytes each: a 16-bit sum would wrap to about 14000.
  EventBuilder b;
  b.event().horizontal_context = b.list({{"a", Bytes(40000, 1)}});
  b.event().vertical_context = b.list({{"b", Bytes(40000, 2)}});
  EXPECT_EQ(VE_calculate_event_message_size(&b.event()), VE_EVENT_PAYLOAD_TOO_LARGE);

  // Inside one list, across items.
  EventBuilder c;
  c.event().instance_id.transaction_data =
      c.list({{"x", Bytes(30000, 1)}, {"y", Bytes(30000, 2)}, {"z", Bytes(30000, 3)}});
  EXPECT_EQ(VE_calculate_event_message_size(&c.event()), VE_EVENT_PAYLOAD_TOO_LARGE);

  // A long transaction id with a long stitch list in another section.
  EventBuilder d;
  d.transaction_id(Bytes(65535, 7));
  d.event().horizontal_id.stitch_ids = d.list({{"s", Bytes(65535, 8)}});
  EXPECT_EQ(VE_calculate_event_message_size(&d.event()), VE_EVENT_PAYLOAD_TOO_LARGE);
}

TEST(EventMessageSize, MoreThan255ItemsIsTooLarge) {
  // The count is one byte: 255 items fit, 256 cannot be represented.
  std::vector<Item> items(255, Item{"i", {1}});
  EventBuilder b;
  b.event().vertical_id.stitch_ids = b.list(items);
  EXPECT_EQ(VE_calculate_event_message_size(&b.event()), 12 + 2 + 1 + 255 * 5);
  const Bytes w = b.serialise();
  EXPECT_EQ(decode_one(w).event.vertical->stitch_ids.size(), 255u);

  items.push_back(Item{"j", {}});
  EventBuilder c;
  c.event().vertical_id.stitch_ids = c.list(items);
  EXPECT_EQ(VE_calculate_event_message_size(&c.event()), VE_EVENT_PAYLOAD_TOO_LARGE);
  EventBuilder d;
  d.event().horizontal_context = d.list(items);
  EXPECT_EQ(VE_calculate_event_message_size(&d.event()), VE_EVENT_PAYLOAD_TOO_LARGE);
}

}  // namespace
