// The counting barrier.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "private_api.h"

namespace {

unsigned Remaining(barrier_t *b) {
  pthread_mutex_lock(&b->cond_mutex);
  unsigned count = b->count;
  pthread_mutex_unlock(&b->cond_mutex);
  return count;
}

TEST(Barrier, ThirdArrivalReleasesTheFirstTwo) {
  barrier_t barrier;
  barrier.count = 3;
  ASSERT_EQ(0, barrier_init(&barrier));
  EXPECT_EQ(3u, barrier.count);  // init leaves the count alone
  std::atomic<int> returned{0};
  int results[2] = {-1, -1};
  std::thread t0([&] {
    results[0] = barrier_wait(&barrier);
    returned.fetch_add(1);
  });
  std::thread t1([&] {
    results[1] = barrier_wait(&barrier);
    returned.fetch_add(1);
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (Remaining(&barrier) != 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(1u, Remaining(&barrier));
  EXPECT_EQ(0, returned.load());  // both have arrived and neither may pass yet
  EXPECT_EQ(0, barrier_wait(&barrier));
  t0.join();
  t1.join();
  EXPECT_EQ(0, results[0]);
  EXPECT_EQ(0, results[1]);
  EXPECT_EQ(0u, barrier.count);
  // Once open, the barrier lets a late arrival through.
  EXPECT_EQ(0, barrier_wait(&barrier));
  EXPECT_EQ(0, barrier_destroy(&barrier));
}

}  // namespace
