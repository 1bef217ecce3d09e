// A configuration started and stopped 1000 times while other threads track on another one:
// every start and stop gives back its thread and its descriptors, and every stop delivers.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "faults/faults_util.h"
#include "private_api.h"

namespace veska_test {
namespace {

qiva_config_t make_config(const char *server) {
  qiva_config_t config;
  memset(&config, 0, sizeof config);
  config.server = server;
  config.connect_timeout = 5000;
  config.connect_retry_interval = 100;
  config.queue_size = 200;
  return config;
}

}  // namespace

TEST(ChurnFaults, ThousandStartsAndStopsLeaveThreadsAndDescriptorsAsTheyWere) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start()) << collector.error();
  qiva_config_t steady = make_config(collector.server_c_str());
  ASSERT_EQ(0, QIVA_init(&steady));
  std::atomic<bool> stop(false);
  std::atomic<int> tracked(0);
  std::vector<std::thread> trackers;
  for (int t = 1; t <= 2; ++t) {
    trackers.emplace_back([&, t] {
      NumberedEvent event(40);
      for (int n = 0; n < 10000000 && !stop.load(); ++n) {
        if (event.track(&steady, t, n) == 0) tracked.fetch_add(1);
        if (n % 8 == 0) usleep(1000);
      }
    });
  }

  qiva_config_t cycling = make_config(collector.server_c_str());
  NumberedEvent event(40);
  // One cycle first: what a process sets up once (logging, transports) is not a leak.
  ASSERT_EQ(0, QIVA_init(&cycling));
  ASSERT_EQ(0, event.track(&cycling, 9, 0));
  ASSERT_EQ(0, QIVA_shutdown(&cycling));
  qiva_time_t generous = {60, 0};
  ASSERT_EQ(0, QIVA_flush(&steady, &generous));  // its connection is part of the baseline
  const int fds_before = count_entries("/proc/self/fd");
  const int threads_before = count_entries("/proc/self/task");

  const int kCycles = 1000;
  int failures = 0;
  double start = now_s();
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    if (QIVA_init(&cycling) != 0) ++failures;
    if (event.track(&cycling, 9, cycle) != 0) ++failures;
    if (QIVA_shutdown(&cycling) != 0) ++failures;
  }
  double elapsed = now_s() - start;
  const int fds_after = count_entries("/proc/self/fd");
  const int threads_after = count_entries("/proc/self/task");
  stop = true;
  for (std::thread &t : trackers) t.join();
  EXPECT_EQ(0, QIVA_shutdown(&steady));

  // Each stop drained its event before closing: all of them arrive, each once.
  std::set<int> delivered;
  int duplicates = 0;
  ASSERT_TRUE(collector.wait_until(
      [&](const CollectorRecords &records) {
        delivered.clear();
        duplicates = 0;
        for (const auto &record : records) {
          int stream = 0, number = 0;
          if (event.check(record, &stream, &number) && stream == 9) {
            if (!delivered.insert(number).second) ++duplicates;
          }
        }
        return static_cast<int>(delivered.size()) == kCycles + 1;
      },
      120))
      << delivered.size() << " of " << kCycles + 1 << " cycle events arrived";
  printf(
      "faults: %d init/shutdown cycles beside 2 tracking threads (%d events): %.2f s, "
      "descriptors %d -> %d, threads %d -> %d, cycle events delivered %zu/%d, "
      "duplicates %d\n",
      kCycles, tracked.load(), elapsed, fds_before, fds_after, threads_before, threads_after,
      delivered.size(), kCycles + 1, duplicates);
  EXPECT_EQ(0, failures);
  EXPECT_EQ(fds_before, fds_after);
  EXPECT_EQ(threads_before, threads_after);
  EXPECT_EQ(0, duplicates);
  EXPECT_TRUE(collector.records("protocol_error").empty());
}

}  // namespace veska_test
