// The 64-bit compare-exchange: argument order, result, and a counter built on it.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "private_api.h"

namespace {

TEST(Atomic, CompareExchangeReturnsPreviousValue) {
  volatile ve_atomic_t value = 5;
  EXPECT_EQ(5u, VE_atomic_compare_exchange(&value, 9, 5));  // (address, new, expected)
  EXPECT_EQ(9u, value);
  EXPECT_EQ(9u, VE_atomic_compare_exchange(&value, 1, 5));  // mismatch: unchanged
  EXPECT_EQ(9u, value);
  EXPECT_EQ(9u, VE_atomic_compare_exchange(&value, 0x100000000ull, 9));
  EXPECT_EQ(0x100000000ull, value);  // all 64 bits take part
}

TEST(Atomic, CounterLoopLosesNoIncrement) {
  volatile ve_atomic_t counter = 0;
  constexpr int kThreads = 4, kEach = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        ve_atomic_t seen = VE_atomic_compare_exchange(&counter, 0, 0);  // an atomic read
        for (;;) {
          ve_atomic_t before = VE_atomic_compare_exchange(&counter, seen + 1, seen);
          if (before == seen) break;
          seen = before;
        }
      }
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(static_cast<ve_atomic_t>(kThreads * kEach), counter);
}

}  // namespace
