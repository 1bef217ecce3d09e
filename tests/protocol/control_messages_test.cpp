// Register, statistics and heartbeat messages, and the counters behind statistics.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "private_api.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(RegisterMessage, FixedBytes) {
  Bytes b(6, 0xEE);
  EXPECT_EQ(VE_serialise_register_message(b.data()), 0);
  EXPECT_EQ(b, (Bytes{0x00, 0x00, 0x00, 0x02, 0x00, 0x00}));
}

TEST(HeartbeatMessage, GivenTime) {
  Bytes b(10, 0xEE);
  ve_time_t t = {1000, 999999};  // microseconds are not sent
  EXPECT_EQ(VE_serialise_heartbeat_message(b.data(), &t), 0);
  EXPECT_EQ(b, (Bytes{0x02, 0x01, 0x00, 0x06, 0x00, 0x00, 0x03, 0xE8, 0x00, 0x00}));
}

TEST(HeartbeatMessage, NullMeansNow) {
  Bytes b(10, 0xEE);
  ve_time_t before = {0, 0}, after = {0, 0};
  QIVA_time(&before);
  EXPECT_EQ(VE_serialise_heartbeat_message(b.data(), nullptr), 0);
  QIVA_time(&after);
  ve_uint32_t sent = VE_unpack_uint32(b.data() + 4);
  EXPECT_GE(sent, before.sec);
  EXPECT_LE(sent, after.sec);
  EXPECT_EQ(Bytes(b.begin(), b.begin() + 4), (Bytes{0x02, 0x01, 0x00, 0x06}));
  EXPECT_EQ(VE_unpack_uint16(b.data() + 8), 0);
}

class StatisticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VE_statistics_counter_reset(VE_STATS_CONNECTIONS_MADE);
    VE_statistics_counter_reset(VE_STATS_EVENTS_DROPPED);
  }
  void add(ve_counter_type type, int n) {
    for (int i = 0; i < n; ++i) VE_statistics_counter_increment(type);
  }
};

TEST_F(StatisticsTest, MessageCarriesCounters) {
  add(VE_STATS_EVENTS_DROPPED, 3);
  add(VE_STATS_CONNECTIONS_MADE, 2);
  Bytes b(10, 0xEE);
  EXPECT_EQ(VE_serialise_statistics_message(b.data()), 0);
  EXPECT_EQ(b, (Bytes{0x02, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x03, 0x00, 0x02}));

  // Only the low 16 bits of the connection count are sent.
  add(VE_STATS_CONNECTIONS_MADE, 65535);
  EXPECT_EQ(VE_statistics_counter_get(VE_STATS_CONNECTIONS_MADE), 65537u);
  EXPECT_EQ(VE_serialise_statistics_message(b.data()), 0);
  EXPECT_EQ(b[8], 0x00);
  EXPECT_EQ(b[9], 0x01);
}

TEST_F(StatisticsTest, CountersAreIndependentAndWrap) {
  add(VE_STATS_EVENTS_DROPPED, 5);
  VE_statistics_counter_decrement(VE_STATS_EVENTS_DROPPED);
  EXPECT_EQ(VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED), 4u);
  EXPECT_EQ(VE_statistics_counter_get(VE_STATS_CONNECTIONS_MADE), 0u);
  VE_statistics_counter_reset(VE_STATS_EVENTS_DROPPED);
  VE_statistics_counter_decrement(VE_STATS_EVENTS_DROPPED);
  EXPECT_EQ(VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED), 4294967295u);
  VE_statistics_counter_increment(VE_STATS_EVENTS_DROPPED);
  EXPECT_EQ(VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED), 0u);
  // An out-of-range counter is ignored rather than written past the array.
  VE_statistics_counter_increment(VE_STATS_COUNTER_COUNT);
  EXPECT_EQ(VE_statistics_counter_get(VE_STATS_COUNTER_COUNT), 0u);
}

TEST_F(StatisticsTest, ConcurrentIncrementsAreNotLost) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 20000; ++i) VE_statistics_counter_increment(VE_STATS_EVENTS_DROPPED);
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED), 80000u);
}

}  // namespace
