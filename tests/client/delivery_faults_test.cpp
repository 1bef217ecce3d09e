// Delivery under faults, against veska-collector over loopback: flushes that end once what was
// pending at their start has been written or dropped, however producers and drops interleave.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "private_api.h"
#include "support/collector_process.h"

namespace veska_test {
namespace {

using nlohmann::json;

qiva_config_t make_config(const char *server, ve_uint16_t queue_size) {
  qiva_config_t config;
  std::memset(&config, 0, sizeof config);
  config.server = server;
  config.connect_timeout = 5000;
  config.connect_retry_interval = 50;
  config.queue_size = queue_size;
  return config;
}

// Tracks a HERE event whose transaction id is `id` and whose one transaction data pair
// carries `padding` bytes, so that message sizes vary widely.
int track_padded(qiva_config_t *config, const std::string &id, size_t padding) {
  static const std::string filler(4096, 'p');
  qiva_values_list_t pad;
  std::memset(&pad, 0, sizeof pad);
  pad.name = "pad";
  pad.value = reinterpret_cast<const qiva_byte_t *>(filler.data());
  pad.size = static_cast<qiva_uint16_t>(padding);
  qiva_event_t event;
  std::memset(&event, 0, sizeof event);
  event.type = QIVA_HERE_EVENT;
  event.instance_id.transaction_id = reinterpret_cast<const qiva_byte_t *>(id.data());
  event.instance_id.size = static_cast<qiva_uint16_t>(id.size());
  if (padding > 0) event.instance_id.transaction_data = &pad;
  return QIVA_track(config, &event);
}

std::string transaction_id(const json &event) {
  if (!event.contains("instance")) return "";
  const json &id = event["instance"]["transaction_id"];
  return id.is_string() ? id.get<std::string>() : "";
}

// Eight threads track events of 1 to 3000 bytes into a tiny queue, so that nearly every push
// drops while the dispatcher copies; then a flush must return 0 well within its time-out and
// the collector must hold exactly the events that were not dropped.
class FlushAfterDrops : public ::testing::TestWithParam<int> {};

TEST_P(FlushAfterDrops, ReturnsOnceEverythingWasWrittenOrDropped) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start()) << collector.error();
  qiva_config_t config = make_config(collector.server_c_str(), static_cast<ve_uint16_t>(GetParam()));
  ASSERT_EQ(0, QIVA_init(&config));
  const ve_uint32_t dropped_before = VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED);

  const int kThreads = 8;
  const int kPerThread = 5000;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
        size_t padding = static_cast<size_t>((i * 7919 + t * 131) % 2980);
        if (track_padded(&config, id, padding) != 0) ++failures;
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  ASSERT_EQ(0, failures.load());

  qiva_time_t timeout = {60, 0};  // generous: a sound flush returns within a second or two
  EXPECT_EQ(0, QIVA_flush(&config, &timeout));
  const ve_uint32_t dropped = VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED) - dropped_before;
  const size_t delivered = static_cast<size_t>(kThreads * kPerThread) - dropped;
  ASSERT_TRUE(collector.wait_for("event", delivered, 60));
  EXPECT_EQ(0, QIVA_shutdown(&config));

  CollectorRecords events = collector.records("event");
  std::set<std::string> ids;
  for (const json &event : events) ids.insert(transaction_id(event));
  EXPECT_EQ(delivered, events.size());
  EXPECT_EQ(events.size(), ids.size()) << "an event arrived twice";
  EXPECT_TRUE(collector.records("protocol_error").empty());
  std::printf("queue_size %d: tracked %d, dropped %u, delivered %zu\n", GetParam(),
              kThreads * kPerThread, dropped, events.size());
}

INSTANTIATE_TEST_SUITE_P(QueueSizes, FlushAfterDrops, ::testing::Values(1, 4));

}  // namespace
}  // namespace veska_test
