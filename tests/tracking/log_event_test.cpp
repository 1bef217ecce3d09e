// The event dump: its exact lines, indentation and value rendering, through a capture logger.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "private_api.h"
#include "support/capture_logger.h"

namespace veska_test {
namespace {

const std::string kPrefix = "QIVAD00I ";

class LogEventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!capture_logger_active()) GTEST_SKIP() << "the logging front end cannot load a module yet";
    clear_captured();
    std::memset(&event_, 0, sizeof(event_));
    event_.type = QIVA_HERE_EVENT;
    event_.timestamp.sec = 1000;
    event_.timestamp.usec = 250;
  }

  std::vector<std::string> dump() {
    clear_captured();
    QIVA_log_ve_event(&event_);
    std::vector<std::string> lines = captured_lines_between("QIVA_log_event");
    for (std::string &line : lines) {
      EXPECT_EQ(0u, line.rfind(kPrefix, 0)) << line;
      line.erase(0, kPrefix.size());
    }
    return lines;
  }

  static std::string address(const void *p) { return std::to_string(reinterpret_cast<long>(p)); }

  qiva_event_t event_;
};

TEST_F(LogEventTest, EventWithAllListsNullGivesTwentyTwoLines) {
  const std::vector<std::string> expected = {"type: HERE",
                                             "timestamp: 1000sec 250usec",
                                             "blocked: 0",
                                             "instance_id",
                                             "  transaction_id (address): 0",
                                             "  size: 0",
                                             "  flags: 0",
                                             "  transaction_data: NULL",
                                             "horizontal_id",
                                             "  caller: ANY",
                                             "  link_id (address): 0",
                                             "  size: 0",
                                             "  flags: 0",
                                             "  stitch_ids: NULL",
                                             "vertical_id",
                                             "  caller: ANY",
                                             "  link_id (address): 0",
                                             "  size: 0",
                                             "  flags: 0",
                                             "  stitch_ids: NULL",
                                             "horizontal_context: NULL",
                                             "vertical_context: NULL"};
  EXPECT_EQ(expected, dump());
  // Entry and exit events frame the dump under its own record name.
  int enters = 0, exits = 0;
  for (const CapturedRecord &r : captured_records()) {
    if (r.function != "QIVA_log_event") continue;
    enters += r.kind == CaptureKind::kEnter;
    exits += r.kind == CaptureKind::kExit;
  }
  EXPECT_EQ(1, enters);
  EXPECT_EQ(1, exits);
}

TEST_F(LogEventTest, ScalarFieldsAndNames) {
  static const qiva_byte_t tid[] = {1, 2};
  static const qiva_byte_t link[] = {9};
  event_.type = 12;
  event_.timestamp.sec = 0;
  event_.timestamp.usec = 5;  // not "now": only 0 s with 0 us is
  event_.blocked = -3;
  event_.instance_id.transaction_id = tid;
  event_.instance_id.size = 2;
  event_.instance_id.flags = 1;
  event_.horizontal_id.caller_type = 300;
  event_.horizontal_id.link_id = link;
  event_.horizontal_id.link_id_size = 1;
  event_.vertical_id.caller_type = 100;
  event_.vertical_id.flags = 7;
  std::vector<std::string> lines = dump();
  ASSERT_EQ(22u, lines.size());
  EXPECT_EQ("type: <unknown>", lines[0]);
  EXPECT_EQ("timestamp: 0sec 5usec", lines[1]);
  EXPECT_EQ("blocked: -3", lines[2]);
  EXPECT_EQ("  transaction_id (address): " + address(tid), lines[4]);
  EXPECT_EQ("  size: 2", lines[5]);
  EXPECT_EQ("  flags: 1", lines[6]);
  EXPECT_EQ("  caller: USER", lines[9]);
  EXPECT_EQ("  link_id (address): " + address(link), lines[10]);
  EXPECT_EQ("  size: 1", lines[11]);
  EXPECT_EQ("  caller: <unknown>", lines[15]);
  EXPECT_EQ("  flags: 7", lines[18]);

  event_.horizontal_id.caller_type = 0xFFFFFFFFu;
  event_.vertical_id.caller_type = QIVA_NATIVE_CALLER;
  lines = dump();
  ASSERT_EQ(22u, lines.size());
  EXPECT_EQ("  caller: USER", lines[9]);
  EXPECT_EQ(std::string("  caller: ") + QIVA_get_caller_name(QIVA_NATIVE_CALLER), lines[15]);
}

TEST_F(LogEventTest, ItemsShowPrintableValuesAsTextAndBinaryByAddress) {
  static const qiva_byte_t zero[] = {'a', 0, 'b'};
  static const qiva_byte_t high[] = {'a', 200};
  qiva_values_list_t binary_high = {nullptr, "h", high, 2, 0};
  qiva_values_list_t binary_zero = {&binary_high, "z", zero, 3, 1};
  qiva_values_list_t text = {&binary_zero, "s", reinterpret_cast<const qiva_byte_t *>("abc"), 3, 2};
  event_.horizontal_id.stitch_ids = &text;
  qiva_values_list_t empty = {nullptr, "e", reinterpret_cast<const qiva_byte_t *>(""), 0, 3};
  qiva_values_list_t absent = {&empty, nullptr, nullptr, 0, 0};
  event_.vertical_context = &absent;

  std::vector<std::string> lines = dump();
  const std::vector<std::string> stitches = {"  stitch_ids",
                                             "    name: s",
                                             "    value: \"abc\"",
                                             "    size: 3",
                                             "    flags: 2",
                                             "    name: z",
                                             "    value (address): " + address(zero),
                                             "    size: 3",
                                             "    flags: 1",
                                             "    name: h",
                                             "    value (address): " + address(high),
                                             "    size: 2",
                                             "    flags: 0"};
  ASSERT_EQ(22u + 12 + 8, lines.size());
  EXPECT_EQ(stitches, std::vector<std::string>(lines.begin() + 13, lines.begin() + 26));
  const std::vector<std::string> context = {"vertical_context", "  name: (null)", "  value: NULL",
                                            "  size: 0",        "  flags: 0",     "  name: e",
                                            "  value: \"\"",    "  size: 0",      "  flags: 3"};
  EXPECT_EQ(context, std::vector<std::string>(lines.end() - 9, lines.end()));
}

TEST_F(LogEventTest, TransactionDataUsesFourBlanksAndLongValuesAreCut) {
  std::string long_value(300, 'x');
  long_value[254] = 'y';
  long_value[255] = 'z';
  qiva_values_list_t data = {nullptr, "long",
                             reinterpret_cast<const qiva_byte_t *>(long_value.data()), 300, 0};
  event_.instance_id.transaction_data = &data;
  qiva_values_list_t exact = {nullptr, "n",
                              reinterpret_cast<const qiva_byte_t *>(long_value.data()), 255, 0};
  event_.horizontal_context = &exact;
  std::vector<std::string> lines = dump();
  ASSERT_EQ(22u + 4 + 4, lines.size());
  EXPECT_EQ("  transaction_data", lines[7]);
  EXPECT_EQ("    name: long", lines[8]);
  EXPECT_EQ("    value: \"" + long_value.substr(0, 255) + "\"...", lines[9]);
  EXPECT_EQ("    size: 300", lines[10]);
  // 255 bytes fit the buffer whole and are shown without the mark.
  EXPECT_EQ("horizontal_context", lines[24]);
  EXPECT_EQ("  value: \"" + long_value.substr(0, 255) + "\"", lines[26]);
}

TEST_F(LogEventTest, ValidationDumpsTheEventFirstEvenWhenRejected) {
  event_.timestamp.usec = 1000000;
  EXPECT_EQ(103, VE_preprocess_event(&event_));
  std::vector<std::string> lines = captured_lines_between("QIVA_log_event");
  ASSERT_EQ(22u, lines.size());
  EXPECT_EQ(kPrefix + "timestamp: 1000sec 1000000usec", lines[1]);
  bool check_exit_seen = false;
  for (const CapturedRecord &r : captured_records()) {
    if (r.function == "_check_event" && r.kind == CaptureKind::kExit) {
      EXPECT_EQ(103, r.result);
      check_exit_seen = true;
    }
  }
  EXPECT_TRUE(check_exit_seen);
}

TEST(ItemPrintable, EveryByteMustBePrintable) {
  qiva_values_list_t i = {nullptr, "n", reinterpret_cast<const qiva_byte_t *>("a b~"), 4, 0};
  EXPECT_EQ(1, is_item_printable(&i));
  i.size = 0;
  EXPECT_EQ(1, is_item_printable(&i));
  i.value = nullptr;
  EXPECT_EQ(1, is_item_printable(&i));
  const qiva_byte_t tab[] = {'a', '\t'};
  const qiva_byte_t del[] = {0x7f};
  const qiva_byte_t high[] = {0xe9};
  for (const qiva_byte_t *v : {tab, del, high}) {
    i.value = v;
    i.size = v == tab ? 2 : 1;
    EXPECT_EQ(0, is_item_printable(&i));
  }
  EXPECT_EQ(0, is_item_printable(nullptr));
}

}  // namespace
}  // namespace veska_test
