// Once-guards across threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "private_api.h"

namespace {

struct OnceState {
  std::atomic<int> calls{0};
  std::atomic<int> finished{0};
  std::atomic<int> waiter_arriving{0};
};

void SlowRoutine(void *arg) {
  auto *state = static_cast<OnceState *>(arg);
  state->calls.fetch_add(1);
  // Hold the routine open until the second caller is on its way in, then a little longer, so
  // that caller arrives while the routine runs (the assertions hold whatever the timing).
  for (int i = 0; i < 2000000 && state->waiter_arriving.load() == 0; ++i) std::this_thread::yield();
  for (int i = 0; i < 2000; ++i) std::this_thread::yield();
  state->finished.store(1);
}

TEST(Once, ExRunsOnceAndLaterCallersWaitForIt) {
  ve_once_t once = VE_ONCE_INIT;
  OnceState state;
  int finished_seen_by_waiter = -1;
  std::thread first([&] { EXPECT_EQ(0, VE_once_ex(&once, SlowRoutine, &state)); });
  while (state.calls.load() == 0) std::this_thread::yield();
  std::thread second([&] {
    state.waiter_arriving.store(1);
    EXPECT_EQ(0, VE_once_ex(&once, SlowRoutine, &state));
    finished_seen_by_waiter = state.finished.load();
  });
  first.join();
  second.join();
  EXPECT_EQ(1, finished_seen_by_waiter);
  EXPECT_EQ(1, state.calls.load());
  EXPECT_EQ(1, once.initialised);
  // Called again later, from yet another thread: nothing runs.
  std::thread([&] { EXPECT_EQ(0, VE_once_ex(&once, SlowRoutine, &state)); }).join();
  EXPECT_EQ(1, state.calls.load());
}

void CountRoutine(void *arg) { static_cast<std::atomic<int> *>(arg)->fetch_add(1); }

TEST(Once, ExManyThreadsOneCall) {
  ve_once_t once = VE_ONCE_INIT;
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] { VE_once_ex(&once, CountRoutine, &calls); });
  for (auto &t : threads) t.join();
  EXPECT_EQ(1, calls.load());
}

std::atomic<int> plain_calls{0};
void PlainRoutine() { plain_calls.fetch_add(1); }

TEST(Once, PlainOnceNeverSetsInitialised) {
  plain_calls.store(0);  // the routine takes no argument, so its count is global
  ve_once_t once = VE_ONCE_INIT;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] { EXPECT_EQ(0, VE_once(&once, PlainRoutine)); });
  for (auto &t : threads) t.join();
  EXPECT_EQ(1, plain_calls.load());
  EXPECT_EQ(0, once.initialised);
}

struct Nested {
  ve_once_t inner = VE_ONCE_INIT;
  int outer_arg_seen = 0;
  int inner_calls = 0;
};
void InnerRoutine(void *arg) { static_cast<Nested *>(arg)->inner_calls++; }
void OuterRoutine(void *arg) {
  auto *n = static_cast<Nested *>(arg);
  VE_once_ex(&n->inner, InnerRoutine, n);
  n->outer_arg_seen = 1;
}

TEST(Once, ExNestsOnAnotherRecord) {
  ve_once_t outer = VE_ONCE_INIT;
  Nested n;
  VE_once_ex(&outer, OuterRoutine, &n);
  EXPECT_EQ(1, n.outer_arg_seen);
  EXPECT_EQ(1, n.inner_calls);
  EXPECT_EQ(1, outer.initialised);
  EXPECT_EQ(1, n.inner.initialised);
}

}  // namespace
