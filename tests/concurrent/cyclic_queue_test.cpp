// The cyclic queue: capacity, drop-oldest, index wrap-around, and one consumer racing several
// producers on a ring of one block.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lib/concurrent/cyclic_queue-internal.h"
#include "private_api.h"

namespace {

struct Block {
  uint32_t a, b, c, d;
};
static_assert(sizeof(Block) == 16, "the queue's blocks are 16 bytes in the library");

class CyclicQueueTest : public ::testing::Test {
 protected:
  void Make(ve_uint16_t size) { ASSERT_EQ(0, CCQ_init(&queue_, size, sizeof(Block))); }
  void TearDown() override { CCQ_destroy(&queue_); }
  void Push(uint32_t v, Block *old = nullptr) {
    Block b = {v, v + 1, v + 2, v + 3};
    ASSERT_EQ(0, CCQ_push(&queue_, &b, old));
  }
  cyclic_queue_t queue_{};
};

TEST_F(CyclicQueueTest, CapacityOneDropsOldestIntoOldValue) {
  Make(1);
  EXPECT_EQ(1, CCQ_empty(&queue_));
  Push(10);
  EXPECT_EQ(1, CCQ_full(&queue_));
  EXPECT_EQ(0, CCQ_empty(&queue_));
  Block old;
  memset(&old, 0, sizeof old);
  Push(20, &old);
  EXPECT_EQ(10u, old.a);
  EXPECT_EQ(13u, old.d);
  Block out;
  EXPECT_EQ(&out, CCQ_pop(&queue_, &out));
  EXPECT_EQ(20u, out.a);
  EXPECT_EQ(23u, out.d);
  EXPECT_EQ(nullptr, CCQ_pop(&queue_, &out));
  EXPECT_EQ(1, CCQ_empty(&queue_));
}

TEST_F(CyclicQueueTest, PushIntoNonFullQueueLeavesOldValueAlone) {
  Make(2);
  Block old = {0xAA, 0xAA, 0xAA, 0xAA};
  Push(1, &old);
  Push(2, &old);
  EXPECT_EQ(0xAAu, old.a);
  Push(3, &old);
  EXPECT_EQ(1u, old.a);
}

TEST_F(CyclicQueueTest, DropWithoutOldValueKeepsNewestBlocks) {
  Make(3);
  for (uint32_t v = 1; v <= 5; ++v) Push(v);
  Block out;
  for (uint32_t expected = 3; expected <= 5; ++expected) {
    ASSERT_NE(nullptr, CCQ_pop(&queue_, &out));
    EXPECT_EQ(expected, out.a);
  }
  EXPECT_EQ(1, CCQ_empty(&queue_));
}

// The library's own counted push: the hook runs before the block is counted, so it sees the
// block's own number, and whether the push gave up the oldest block; drops count as pushes too.
TEST_F(CyclicQueueTest, CountedPushNumbersEveryBlockThroughDrops) {
  Make(2);
  struct Seen {
    uint64_t pushed;
    std::vector<uint64_t> pushes;  // number * 10 + dropped
  } seen{0, {}};
  auto hook = [](void *arg, int dropped) {
    auto *s = static_cast<Seen *>(arg);
    s->pushes.push_back(s->pushed * 10 + static_cast<uint64_t>(dropped));
  };
  Block b = {7, 0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(0, veska_internal::ccq_push_counted(&queue_, &b, nullptr, &seen.pushed, hook, &seen));
  }
  EXPECT_EQ((std::vector<uint64_t>{0, 10, 21, 31}), seen.pushes);
  EXPECT_EQ(4u, seen.pushed);
}

TEST_F(CyclicQueueTest, IndicesWrapAfterTwiceTheCapacity) {
  Make(3);
  Block out;
  for (uint32_t v = 0; v < 6; ++v) {
    Push(v);
    ASSERT_NE(nullptr, CCQ_pop(&queue_, &out));
    EXPECT_EQ(v, out.a);
  }
  EXPECT_EQ(0u, queue_.head);
  EXPECT_EQ(0u, queue_.tail);
  EXPECT_EQ(1, CCQ_empty(&queue_));
  EXPECT_EQ(0, CCQ_full(&queue_));
  // A full ring across the wrap point still reads back in order.
  for (uint32_t v = 0; v < 5; ++v) Push(100 + v);
  for (uint32_t v = 2; v < 5; ++v) {
    ASSERT_NE(nullptr, CCQ_pop(&queue_, &out));
    EXPECT_EQ(100 + v, out.a);
  }
}

TEST_F(CyclicQueueTest, PopEmptyLeavesOutAndNullOutStillRemoves) {
  Make(2);
  Block out = {7, 7, 7, 7};
  EXPECT_EQ(nullptr, CCQ_pop(&queue_, &out));
  EXPECT_EQ(7u, out.a);
  EXPECT_EQ(nullptr, CCQ_peek(&queue_));
  Push(1);
  Push(2);
  auto *peeked = static_cast<Block *>(CCQ_peek(&queue_));
  ASSERT_NE(nullptr, peeked);
  EXPECT_EQ(1u, peeked->a);
  EXPECT_EQ(nullptr, CCQ_pop(&queue_, nullptr));
  ASSERT_NE(nullptr, CCQ_pop(&queue_, &out));
  EXPECT_EQ(2u, out.a);
  EXPECT_EQ(1, CCQ_empty(&queue_));
}

TEST_F(CyclicQueueTest, ZeroCapacityIsRefusedAndTheQueueStaysInert) {
  EXPECT_EQ(QIVA_ERR_INVALID, CCQ_init(&queue_, 0, 16));
  EXPECT_EQ(nullptr, queue_.data);
  Block b = {1, 2, 3, 4}, out = b;
  EXPECT_EQ(QIVA_ERR_INVALID, CCQ_push(&queue_, &b, nullptr));
  EXPECT_EQ(nullptr, CCQ_pop(&queue_, &out));
  EXPECT_EQ(nullptr, CCQ_peek(&queue_));
  EXPECT_EQ(1, CCQ_empty(&queue_));
  EXPECT_EQ(0, CCQ_full(&queue_));
  EXPECT_EQ(0, CCQ_destroy(&queue_));
}

// Blocks carry their producer, a sequence number, and a checksum over the other 12 bytes, so a
// block assembled from two writes is detected.
uint32_t Checksum(uint32_t id, uint32_t seq, uint32_t mix) {
  uint32_t h = 2166136261u;
  for (uint32_t w : {id, seq, mix}) h = (h ^ w) * 16777619u;
  return h;
}

Block MakeBlock(uint32_t id, uint32_t seq) {
  uint32_t mix = (seq * 2654435761u) ^ (id << 24);
  return Block{id, seq, mix, Checksum(id, seq, mix)};
}

TEST(CyclicQueueRace, OneConsumerSeveralProducersCapacityOne) {
  constexpr uint32_t kProducers = 3;
  constexpr uint32_t kPerProducer = 200000;
  cyclic_queue_t queue;
  ASSERT_EQ(0, CCQ_init(&queue, 1, sizeof(Block)));
  std::vector<std::atomic<int>> seen(kProducers * kPerProducer);
  for (auto &s : seen) s.store(0);
  std::atomic<int> torn{0}, reordered{0}, producers_left{kProducers};

  auto account = [&](const Block &b) {
    if (b.a >= kProducers || b.b >= kPerProducer || b.d != Checksum(b.a, b.b, b.c) ||
        b.c != MakeBlock(b.a, b.b).c) {
      torn.fetch_add(1);
      return;
    }
    seen[b.a * kPerProducer + b.b].fetch_add(1, std::memory_order_relaxed);
  };

  std::vector<std::thread> producers;
  for (uint32_t id = 0; id < kProducers; ++id) {
    producers.emplace_back([&, id] {
      for (uint32_t seq = 0; seq < kPerProducer; ++seq) {
        Block value = MakeBlock(id, seq);
        Block old;
        memset(&old, 0xFF, sizeof old);
        CCQ_push(&queue, &value, &old);
        if (old.a != 0xFFFFFFFFu) account(old);
      }
      producers_left.fetch_sub(1);
    });
  }
  std::thread consumer([&] {
    std::vector<int64_t> last(kProducers, -1);
    Block out;
    for (;;) {
      bool done = producers_left.load() == 0;
      if (CCQ_pop(&queue, &out) != nullptr) {
        account(out);
        if (out.a < kProducers) {
          if (static_cast<int64_t>(out.b) <= last[out.a]) reordered.fetch_add(1);
          last[out.a] = out.b;
        }
      } else if (done) {
        break;  // producers finished before this empty pop: nothing more can arrive
      } else {
        std::this_thread::yield();
      }
    }
  });
  for (auto &t : producers) t.join();
  consumer.join();

  EXPECT_EQ(0, torn.load());
  EXPECT_EQ(0, reordered.load());
  int lost = 0, duplicated = 0;
  for (auto &s : seen) {
    if (s.load() == 0) ++lost;
    if (s.load() > 1) ++duplicated;
  }
  EXPECT_EQ(0, lost);
  EXPECT_EQ(0, duplicated);
  EXPECT_EQ(1, CCQ_empty(&queue));
  CCQ_destroy(&queue);
}

}  // namespace
