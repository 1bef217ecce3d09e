// QIVA_track end to end: events tracked through a real configuration arrive at veska-collector
// with exactly the tracked fields; failures queue nothing; pre-built blocks go out raw.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "private_api.h"
#include "support/collector_process.h"
#include "support/logging_process.h"
#include "support/raw_sink.h"

namespace {

using nlohmann::json;
using veska_test::bytes_of;

const qiva_byte_t *B(const char *text) { return reinterpret_cast<const qiva_byte_t *>(text); }

qiva_event_t blank_event(qiva_uint32_t type) {
  qiva_event_t e;
  std::memset(&e, 0, sizeof(e));
  e.type = type;
  e.timestamp.sec = 1700000000;
  e.timestamp.usec = 42;
  return e;
}

// The known "ServerAddress" item, or an empty one when the host's addresses are unknown.
qiva_values_list_t server_address() {
  qiva_values_list_t item;
  std::memset(&item, 0, sizeof(item));
  ve_uint32_t count = 0;
  VE_common_context(&item, &count);
  if (count == 0) item.size = 0;
  return item;
}

// The collector exits by itself after `events` events (or a minute without traffic).
std::vector<std::string> CountArgs(int events) {
  return {"--count", std::to_string(events), "--idle-exit", "60"};
}

// One list as the collector decoded it: name and value bytes per item.
std::vector<std::pair<std::string, std::string>> list_of(const json &list) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const json &item : list) out.emplace_back(bytes_of(item["name"]), bytes_of(item["value"]));
  return out;
}

class TrackCollectorTest : public ::testing::Test {
 protected:
  // Starts a collector that exits after `events` events and a configuration sending to it.
  void Begin(int events) {
    ASSERT_TRUE(collector_.start(CountArgs(events))) << collector_.error();
    Connect(collector_.server());
  }

  void Connect(const std::string &server) {
    server_ = server;
    std::memset(&config_, 0, sizeof(config_));
    config_.server = server_.c_str();
    config_.connect_timeout = 10000;
    config_.connect_retry_interval = 100;
    config_.connect_retries = 100;
    int rc = QIVA_init(&config_);
    ASSERT_EQ(0, rc);
    active_ = true;
  }

  int Track(qiva_event_t *event) { return QIVA_track(&config_, event); }

  // Flushes, waits for the collector's count and returns the events it decoded.
  std::vector<json> Finish() {
    qiva_time_t timeout = {60, 0};
    EXPECT_EQ(0, QIVA_flush(&config_, &timeout));
    EXPECT_GE(collector_.wait_exit(60), 0) << "collector did not see all events";
    Shutdown();
    return collector_.records("event");
  }

  void Shutdown() {
    if (active_) QIVA_shutdown(&config_);
    active_ = false;
  }

  void TearDown() override { Shutdown(); }

  veska_test::CollectorProcess collector_;
  qiva_config_t config_;
  std::string server_;
  bool active_ = false;
};

TEST_F(TrackCollectorTest, TrackedFieldsArriveExactly) {
  Begin(4);
  if (IsSkipped() || HasFatalFailure()) return;
  static const qiva_byte_t binary_value[] = {0x00, 0xff, 0x10};
  static const qiva_byte_t vlink[] = {0, 1, 2};
  qiva_values_list_t tdata2 = {nullptr, "bin", binary_value, 3, 0};
  qiva_values_list_t tdata1 = {&tdata2, "user", B("alice"), 5, 1};
  qiva_values_list_t hstitch2 = {nullptr, "empty", nullptr, 0, 0};
  qiva_values_list_t hstitch1 = {&hstitch2, "port", B("8080"), 4, 3};
  qiva_values_list_t hcontext = {nullptr, "route", B("/orders"), 7, 0};
  qiva_values_list_t vcontext = {nullptr, "tier", B("gold"), 4, 0};

  qiva_event_t full = blank_event(QIVA_OUTBOUND_EVENT);
  full.timestamp.sec = 1234;
  full.timestamp.usec = 567;
  full.blocked = 5;
  full.instance_id.transaction_id = B("tx-1");
  full.instance_id.size = 4;
  full.instance_id.transaction_data = &tdata1;
  full.horizontal_id.caller_type = 7;
  full.horizontal_id.link_id = B("L1");
  full.horizontal_id.link_id_size = 2;
  full.horizontal_id.stitch_ids = &hstitch1;
  full.vertical_id.caller_type = 200;
  full.vertical_id.link_id = vlink;
  full.vertical_id.link_id_size = 3;
  full.horizontal_context = &hcontext;
  full.vertical_context = &vcontext;
  ASSERT_EQ(0, Track(&full));

  qiva_event_t bare = blank_event(QIVA_HERE_EVENT);
  ASSERT_EQ(0, Track(&bare));
  // A caller type alone makes a vertical section but not a horizontal one.
  qiva_event_t callers = blank_event(QIVA_COMMIT_EVENT);
  callers.horizontal_id.caller_type = 9;
  callers.vertical_id.caller_type = 9;
  ASSERT_EQ(0, Track(&callers));
  // Rejected between them, and not sent.
  qiva_event_t invalid = blank_event(QIVA_INBOUND_EVENT);
  invalid.timestamp.usec = 1000000;
  EXPECT_EQ(103, Track(&invalid));
  qiva_event_t only_tdata = blank_event(QIVA_ROLLBACK_EVENT);
  only_tdata.instance_id.transaction_data = &tdata2;
  ASSERT_EQ(0, Track(&only_tdata));

  std::vector<json> events = Finish();
  ASSERT_EQ(4u, events.size());
  const json &e = events[0];
  EXPECT_EQ(3, e["type"]);
  EXPECT_EQ("OUTBOUND", e["type_name"]);
  EXPECT_EQ(true, e["blocked"]);
  EXPECT_EQ(1234, e["seconds"]);
  EXPECT_EQ(567, e["microseconds"]);
  EXPECT_EQ("tx-1", bytes_of(e["instance"]["transaction_id"]));
  using Items = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ((Items{{"user", "alice"}, {"bin", std::string("\0\xff\x10", 3)}}),
            list_of(e["instance"]["transaction_data"]));
  EXPECT_EQ(7, e["horizontal"]["caller_type"]);
  EXPECT_EQ("L1", bytes_of(e["horizontal"]["link_id"]));
  EXPECT_EQ((Items{{"port", "8080"}, {"empty", ""}}), list_of(e["horizontal"]["stitch_ids"]));
  EXPECT_EQ(200, e["vertical"]["caller_type"]);
  EXPECT_EQ(std::string("\0\1\2", 3), bytes_of(e["vertical"]["link_id"]));
  EXPECT_TRUE(e["vertical"]["stitch_ids"].empty());
  EXPECT_EQ((Items{{"route", "/orders"}}), list_of(e["horizontal_context"]));
  EXPECT_EQ((Items{{"tier", "gold"}}), list_of(e["vertical_context"]));
  // Header 4; base 12, instance 28, horizontal 24, vertical 6, contexts 16 and 12.
  EXPECT_EQ(102, e["length"]);

  const json &b = events[1];
  EXPECT_EQ(1, b["type"]);
  EXPECT_EQ(false, b["blocked"]);
  EXPECT_EQ(1700000000u, b["seconds"]);
  EXPECT_EQ(42, b["microseconds"]);
  EXPECT_EQ(16, b["length"]);
  for (const char *key :
       {"instance", "horizontal", "vertical", "horizontal_context", "vertical_context"}) {
    EXPECT_FALSE(b.contains(key)) << key;
  }
  const json &c = events[2];
  EXPECT_EQ(8, c["type"]);
  EXPECT_FALSE(c.contains("horizontal"));
  ASSERT_TRUE(c.contains("vertical"));
  EXPECT_EQ(9, c["vertical"]["caller_type"]);
  EXPECT_EQ("", bytes_of(c["vertical"]["link_id"]));
  EXPECT_TRUE(c["vertical"]["stitch_ids"].empty());
  const json &d = events[3];
  EXPECT_EQ(9, d["type"]);
  EXPECT_EQ("", bytes_of(d["instance"]["transaction_id"]));
  EXPECT_EQ((Items{{"bin", std::string("\0\xff\x10", 3)}}),
            list_of(d["instance"]["transaction_data"]));
}

TEST_F(TrackCollectorTest, StartEventsCarryServerAddressFirstAndRestoreTheRecord) {
  Begin(3);
  if (IsSkipped() || HasFatalFailure()) return;
  const qiva_values_list_t address = server_address();
  qiva_values_list_t second = {nullptr, "b", B("2"), 1, 0};
  qiva_values_list_t first = {&second, "a", B("1"), 1, 0};
  const qiva_values_list_t first_copy = first, second_copy = second;

  qiva_event_t started = blank_event(QIVA_STARTED_EVENT);
  qiva_event_t copy = started;
  ASSERT_EQ(0, Track(&started));
  EXPECT_EQ(0, std::memcmp(&copy, &started, sizeof(copy)));

  qiva_event_t inbound = blank_event(QIVA_STARTED_INBOUND_EVENT);
  inbound.vertical_context = &first;
  copy = inbound;
  ASSERT_EQ(0, Track(&inbound));
  EXPECT_EQ(0, std::memcmp(&copy, &inbound, sizeof(copy)));
  EXPECT_EQ(0, std::memcmp(&first_copy, &first, sizeof(first)));
  EXPECT_EQ(0, std::memcmp(&second_copy, &second, sizeof(second)));

  qiva_event_t here = blank_event(QIVA_HERE_EVENT);
  here.vertical_context = &first;
  ASSERT_EQ(0, Track(&here));

  std::vector<json> events = Finish();
  ASSERT_EQ(3u, events.size());
  using Items = std::vector<std::pair<std::string, std::string>>;
  const Items caller = {{"a", "1"}, {"b", "2"}};
  EXPECT_EQ(caller, list_of(events[2]["vertical_context"]));
  if (address.size == 0) {
    EXPECT_FALSE(events[0].contains("vertical_context"));
    EXPECT_EQ(caller, list_of(events[1]["vertical_context"]));
    GTEST_SKIP() << "the host's addresses are unknown here; nothing to splice";
  }
  const std::string text(reinterpret_cast<const char *>(address.value), address.size);
  EXPECT_EQ((Items{{"ServerAddress", text}}), list_of(events[0]["vertical_context"]));
  EXPECT_EQ((Items{{"ServerAddress", text}, {"a", "1"}, {"b", "2"}}),
            list_of(events[1]["vertical_context"]));
}

TEST_F(TrackCollectorTest, OversizedPayloadIsRefusedAndQueuesNothing) {
  Begin(2);
  if (IsSkipped() || HasFatalFailure()) return;
  // HERE with one horizontal context item named "n": payload = 12 + 1 + (1 + 3 + size).
  std::string value(65535, 'v');
  qiva_values_list_t item = {nullptr, "n", B(value.c_str()), 65515, 0};
  qiva_event_t big = blank_event(QIVA_HERE_EVENT);
  big.horizontal_context = &item;
  const qiva_event_t copy = big;
  int rc = Track(&big);
  EXPECT_EQ(QIVA_ERR_EVENT_INTERNAL, rc);  // payload 65532
  item.size = 65535;
  EXPECT_EQ(QIVA_ERR_EVENT_INTERNAL, Track(&big));
  item.size = 65514;  // payload 65531: the largest message, 65535 bytes
  EXPECT_EQ(0, Track(&big));
  EXPECT_EQ(0, std::memcmp(&copy, &big, sizeof(copy)));

  // A start event that fits only without the host's addresses is refused once they are
  // spliced in, and the caller's context pointer is back afterwards.
  const qiva_values_list_t address = server_address();
  qiva_event_t start = blank_event(QIVA_STARTED_EVENT);
  start.horizontal_context = &item;
  qiva_values_list_t marker = {nullptr, "m", B("x"), 1, 0};
  start.vertical_context = &marker;
  item.size = static_cast<qiva_uint16_t>(65531 - 17 - 6);  // 6: the vertical list of "m"
  const qiva_event_t start_copy = start;
  EXPECT_EQ(address.size == 0 ? 0 : QIVA_ERR_EVENT_INTERNAL, Track(&start));
  EXPECT_EQ(0, std::memcmp(&start_copy, &start, sizeof(start)));
  if (address.size != 0) {
    qiva_event_t last = blank_event(QIVA_FINISHED_EVENT);
    ASSERT_EQ(0, Track(&last));
  }

  std::vector<json> events = Finish();
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ(65535, events[0]["length"]);
  EXPECT_EQ(65514u, bytes_of(events[0]["horizontal_context"][0]["value"]).size());
  if (address.size != 0) {
    EXPECT_EQ(4, events[1]["type"]);
  }
}

TEST(TrackPrebuilt, BlockIsQueuedRawWithItsTopBitCleared) {
  veska_test::RawSink sink;
  ASSERT_TRUE(sink.start());
  qiva_config_t config;
  std::memset(&config, 0, sizeof(config));
  const std::string server = sink.server();
  config.server = server.c_str();
  config.connect_retry_interval = 100;
  config.connect_retries = 100;
  int rc = QIVA_init(&config);
  ASSERT_EQ(0, rc);

  qiva_event_t block;
  std::memset(&block, 0, sizeof(block));
  block.type = 0x80000000u | 20u;
  block.timestamp.sec = 0x01020304;
  block.timestamp.usec = 0x05060708;
  block.pad1 = 0x0a0b0c0d;
  block.instance_id.transaction_id = B("ignored: only the pointer's bytes are copied");
  block.instance_id.size = 0xFFFF;  // past the 24 bytes: never read or validated
  rc = QIVA_track(&config, &block);
  EXPECT_EQ(0, rc);
  EXPECT_EQ(20u, block.type);
  std::vector<unsigned char> expected(24);
  std::memcpy(expected.data(), &block, 24);

  // 65532 + 4 wraps to a block size of 0, which cannot be allocated.
  qiva_event_t wrapped;
  std::memset(&wrapped, 0, sizeof(wrapped));
  wrapped.type = 0x80000000u | 65532u;
  EXPECT_EQ(QIVA_ERR_NOMEM, QIVA_track(&config, &wrapped));
  EXPECT_EQ(65532u, wrapped.type);

  qiva_time_t timeout = {60, 0};
  EXPECT_EQ(0, QIVA_flush(&config, &timeout));
  EXPECT_EQ(0, QIVA_shutdown(&config));
  std::vector<unsigned char> bytes = sink.wait_closed(60);
  // The connection opens with register (6), statistics (10) and heartbeat (10) messages.
  ASSERT_EQ(26u + 24u, bytes.size());
  EXPECT_EQ((std::vector<unsigned char>{0, 0, 0, 2, 0, 0}),
            std::vector<unsigned char>(bytes.begin(), bytes.begin() + 6));
  EXPECT_EQ(expected, std::vector<unsigned char>(bytes.begin() + 26, bytes.end()));
}

TEST(Demo, ExampleApplicationDeliversItsUnitOfWork) {
  const std::string demo = VESKA_DEMO_PATH;
  veska_test::CollectorProcess collector;
  ASSERT_TRUE(collector.start(CountArgs(5))) << collector.error();
  veska_test::ProcessOptions options;
  options.timeout_seconds = 90;
  const int status = veska_test::run_process(demo, {collector.server()}, options).exit_code;
  EXPECT_EQ(0, status);
  ASSERT_GE(collector.wait_exit(60), 0);
  std::vector<json> events = collector.records("event");
  ASSERT_EQ(5u, events.size());
  const char *names[] = {"STARTED_INBOUND", "OUTBOUND", "INBOUND", "FINISHED", "COMMIT"};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(names[i], events[i]["type_name"]);
    EXPECT_EQ("order-7781", bytes_of(events[i]["instance"]["transaction_id"]));
  }
  EXPECT_EQ("inventory-call-1", bytes_of(events[1]["horizontal"]["link_id"]));
  EXPECT_EQ("inventory-call-1", bytes_of(events[2]["horizontal"]["link_id"]));
  const json &context = events[0]["vertical_context"];
  ASSERT_FALSE(context.empty());
  EXPECT_EQ("endpoint", bytes_of(context[context.size() - 1]["name"]));
}

}  // namespace
