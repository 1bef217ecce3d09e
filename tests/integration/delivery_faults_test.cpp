// Delivery under faults, against veska-collector over loopback: flushes that end once what was
// pending at their start has been written or dropped, however producers and drops interleave.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "private_api.h"
#include "support/client_events.h"
#include "support/collector_process.h"
#include "support/event_builder.h"

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
  EventBuilder b;
  b.event().type = QIVA_HERE_EVENT;
  b.transaction_id(Bytes(id.begin(), id.end()));
  if (padding > 0) b.event().instance_id.transaction_data = b.list({{"pad", Bytes(padding, 'p')}});
  return QIVA_track(config, &b.event());
}

std::string transaction_id(const json &event) {
  if (!event.contains("instance")) return "";
  const json &id = event["instance"]["transaction_id"];
  return id.is_string() ? id.get<std::string>() : "";
}

// Eight threads track events of 1 to 3000 bytes into a tiny queue, so that nearly every push
// drops while the dispatcher copies; then a flush must return 0 well within its time-out and
// the collector must hold exactly the events that were not dropped.
class FlushAfterDropsTest : public ::testing::TestWithParam<int> {};

TEST_P(FlushAfterDropsTest, ReturnsOnceEverythingWasWrittenOrDropped) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start()) << collector.error();
  qiva_config_t config =
      make_config(collector.server_c_str(), static_cast<ve_uint16_t>(GetParam()));
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

INSTANTIATE_TEST_SUITE_P(QueueSizes, FlushAfterDropsTest, ::testing::Values(1, 4));

// Sockets the process holds open, from /proc.
int open_sockets(pid_t pid) {
  std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR *dir = opendir(folder.c_str());
  if (dir == nullptr) return -1;
  int sockets = 0;
  char target[64];
  while (dirent *entry = readdir(dir)) {
    std::string path = folder + "/" + entry->d_name;
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)).rfind("socket:", 0) == 0) ++sockets;
  }
  closedir(dir);
  return sockets;
}

// The collector cuts the first connection in the middle of an event, with two more events
// already written behind it. Those three were accepted by the kernels and are lost with the
// connection; everything tracked afterwards must reach the next connection, whole, in order
// and once, although the dispatcher's next write would still have been accepted locally.
TEST(LostConnection, EventsAfterTheCollectorClosedAreResentOnTheNextConnection) {
  const int kFirst = 100;
  const int kSecond = 100;
  auto id = [](int n) {
    char text[16];
    std::snprintf(text, sizeof text, "n%05d", n);
    return std::string(text);
  };
  const size_t size = test_event_size(id(0));
  const size_t cut = 26 + kFirst * size + size / 2;
  CollectorProcess collector;
  ASSERT_TRUE(collector.start({"--close-after", std::to_string(cut)})) << collector.error();
  qiva_config_t config = make_config(collector.server_c_str(), 1000);
  ASSERT_EQ(0, QIVA_init(&config));
  qiva_time_t timeout = {60, 0};

  for (int n = 0; n < kFirst + 3; ++n) ASSERT_EQ(0, enqueue_test_event(&config, id(n)));
  ASSERT_EQ(0, QIVA_flush(&config, &timeout));
  ASSERT_TRUE(collector.wait_for("event", kFirst));
  // The collector has closed its end once it holds only its listening socket.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (open_sockets(collector.pid()) > 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(1, open_sockets(collector.pid()));

  for (int n = kFirst + 3; n < kFirst + 3 + kSecond; ++n) {
    ASSERT_EQ(0, enqueue_test_event(&config, id(n)));
  }
  EXPECT_EQ(0, QIVA_flush(&config, &timeout));
  EXPECT_TRUE(collector.wait_for("event", kFirst + kSecond));
  EXPECT_EQ(0, QIVA_shutdown(&config));

  CollectorRecords events = collector.records("event");
  std::vector<int> numbers;
  for (const json &event : events) numbers.push_back(std::atoi(transaction_id(event).c_str() + 1));
  std::set<int> seen(numbers.begin(), numbers.end());
  EXPECT_EQ(numbers.size(), seen.size()) << "an event arrived twice";
  EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
  for (int n = 0; n < kFirst + 3 + kSecond; ++n) {
    if (n >= kFirst && n < kFirst + 3) continue;  // accepted by the kernels before the cut
    EXPECT_EQ(1u, seen.count(n)) << "event " << n << " was lost";
  }
  EXPECT_EQ(2u, collector.records("register").size());
  std::printf("lost connection: %zu of %d events arrived, %zu lost with the cut connection\n",
              numbers.size(), kFirst + 3 + kSecond, kFirst + 3 + kSecond - numbers.size());
}

}  // namespace
}  // namespace veska_test
