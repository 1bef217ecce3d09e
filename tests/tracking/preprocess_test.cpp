// Validation of events: every check, its code, and the order that decides between faults.
#include <gtest/gtest.h>

#include <cstring>

#include "private_api.h"

namespace {

const qiva_byte_t kBytes[] = {'a', 'b', 'c'};

qiva_event_t valid_event() {
  qiva_event_t event;
  std::memset(&event, 0, sizeof(event));
  event.type = QIVA_HERE_EVENT;
  return event;
}

qiva_values_list_t item(const char *name, const qiva_byte_t *value, qiva_uint16_t size,
                        qiva_uint16_t flags = 0) {
  qiva_values_list_t i;
  std::memset(&i, 0, sizeof(i));
  i.name = name;
  i.value = value;
  i.size = size;
  i.flags = flags;
  return i;
}

int check(const qiva_event_t &event) { return VE_preprocess_event(&event); }

TEST(Preprocess, ValidEventsPass) {
  qiva_event_t event = valid_event();
  EXPECT_EQ(0, check(event));
  event.type = QIVA_ROLLBACK_EVENT;
  event.timestamp.usec = 999999;
  event.horizontal_id.caller_type = 255;
  event.vertical_id.caller_type = 255;
  event.horizontal_id.flags = 1;
  event.vertical_id.flags = 1;
  event.instance_id.flags = 1;
  event.blocked = 7;  // neither blocked nor the reserved fields are checked
  event.pad1 = 9;
  event.reserved1 = &event;
  EXPECT_EQ(0, check(event));
  // A null transaction id with size 0 is simply absent.
  event.instance_id.transaction_id = nullptr;
  event.instance_id.size = 0;
  EXPECT_EQ(0, check(event));
  EXPECT_EQ(QIVA_ERR_INVALID, VE_preprocess_event(nullptr));
}

TEST(Preprocess, EachScalarCheckHasItsCode) {
  struct Case {
    const char *what;
    void (*spoil)(qiva_event_t &);
    int code;
  } cases[] = {
      {"usec", [](qiva_event_t &e) { e.timestamp.usec = 1000000; }, 103},
      {"type", [](qiva_event_t &e) { e.type = 10; }, 102},
      {"type top bit", [](qiva_event_t &e) { e.type = 0x80000001u; }, 102},
      {"tid size 0", [](qiva_event_t &e) { e.instance_id.transaction_id = kBytes; }, 104},
      {"tid null", [](qiva_event_t &e) { e.instance_id.size = 3; }, 106},
      {"hlink size 0", [](qiva_event_t &e) { e.horizontal_id.link_id = kBytes; }, 110},
      {"hlink null", [](qiva_event_t &e) { e.horizontal_id.link_id_size = 5; }, 113},
      {"vlink size 0", [](qiva_event_t &e) { e.vertical_id.link_id = kBytes; }, 120},
      {"vlink null", [](qiva_event_t &e) { e.vertical_id.link_id_size = 5; }, 123},
      {"hcaller", [](qiva_event_t &e) { e.horizontal_id.caller_type = 256; }, 112},
      {"vcaller", [](qiva_event_t &e) { e.vertical_id.caller_type = 256; }, 122},
      {"vflags", [](qiva_event_t &e) { e.vertical_id.flags = 2; }, 121},
      {"hflags", [](qiva_event_t &e) { e.horizontal_id.flags = 2; }, 111},
      {"tid flags", [](qiva_event_t &e) { e.instance_id.flags = 2; }, 105},
  };
  for (const Case &c : cases) {
    qiva_event_t event = valid_event();
    c.spoil(event);
    EXPECT_EQ(c.code, check(event)) << c.what;
  }
}

TEST(Preprocess, FirstFaultInCheckOrderDecides) {
  qiva_event_t event = valid_event();
  event.timestamp.usec = 1000000;
  event.type = 12;
  EXPECT_EQ(103, check(event));

  event = valid_event();
  event.horizontal_id.flags = 2;
  event.vertical_id.flags = 2;
  EXPECT_EQ(121, check(event));

  // A later scalar fault still wins over any list fault.
  qiva_values_list_t bad = item(nullptr, nullptr, 0);
  event = valid_event();
  event.horizontal_context = &bad;
  event.instance_id.flags = 3;
  EXPECT_EQ(105, check(event));
  // Callers before flags: the horizontal caller type beats every flag.
  event.horizontal_id.caller_type = 300;
  event.vertical_id.flags = 2;
  EXPECT_EQ(112, check(event));
}

TEST(Preprocess, ListsAreCheckedHorizontalContextFirstHorizontalStitchesLast) {
  qiva_values_list_t bad = item(nullptr, nullptr, 0);
  // Spoil the lists one by one from the last checked to the first: each newly spoilt list
  // takes over, proving horizontal context, vertical context, transaction data, vertical
  // stitches, horizontal stitches.
  qiva_event_t event = valid_event();
  event.horizontal_id.stitch_ids = &bad;
  EXPECT_EQ(140, check(event));
  event.vertical_id.stitch_ids = &bad;
  EXPECT_EQ(150, check(event));
  event.instance_id.transaction_data = &bad;
  EXPECT_EQ(130, check(event));
  event.vertical_context = &bad;
  EXPECT_EQ(170, check(event));
  event.horizontal_context = &bad;
  EXPECT_EQ(160, check(event));
}

TEST(Preprocess, ListFaultKinds) {
  struct Case {
    qiva_values_list_t item;
    int kind;
  } cases[] = {
      {item(nullptr, kBytes, 3, 7), 1},  // a null name is reported before the bad flags
      {item("n", nullptr, 3), 2},       {item("n", kBytes, 0), 3},     {item("n", kBytes, 3, 4), 4},
      {item("n", kBytes, 3, 3), 0},     {item("n", nullptr, 0, 0), 0},
  };
  for (Case &c : cases) {
    qiva_event_t event = valid_event();
    event.horizontal_context = &c.item;
    EXPECT_EQ(c.kind == 0 ? 0 : 159 + c.kind, check(event)) << "horizontal context";
    event = valid_event();
    event.vertical_context = &c.item;
    EXPECT_EQ(c.kind == 0 ? 0 : 169 + c.kind, check(event)) << "vertical context";
    event = valid_event();
    event.instance_id.transaction_data = &c.item;
    EXPECT_EQ(c.kind == 0 ? 0 : 129 + c.kind, check(event)) << "transaction data";
    event = valid_event();
    event.vertical_id.stitch_ids = &c.item;
    EXPECT_EQ(c.kind == 0 ? 0 : 149 + c.kind, check(event)) << "vertical stitches";
    event = valid_event();
    event.horizontal_id.stitch_ids = &c.item;
    EXPECT_EQ(c.kind == 0 ? 0 : 139 + c.kind, check(event)) << "horizontal stitches";
  }
}

TEST(Preprocess, FirstFaultyItemOfAListDecides) {
  qiva_values_list_t third = item(nullptr, nullptr, 0);
  qiva_values_list_t second = item("n", kBytes, 0);
  second.next = &third;
  qiva_values_list_t first = item("ok", kBytes, 3, 3);
  first.next = &second;
  qiva_event_t event = valid_event();
  event.vertical_context = &first;
  EXPECT_EQ(172, check(event));
  // Validation never changes the record.
  EXPECT_EQ(&second, first.next);
  EXPECT_EQ(&first, event.vertical_context);
}

}  // namespace
