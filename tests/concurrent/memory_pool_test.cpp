// The memory pool facade.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <set>
#include <vector>

#include "private_api.h"

namespace {

TEST(MemoryPool, SentinelValidatesEveryOperation) {
  EXPECT_EQ(QIVA_ERR_INVALID, VE_memory_pool_init(nullptr, 10));
  ve_memory_pool_t *pool = nullptr;
  ASSERT_EQ(0, VE_memory_pool_init(&pool, 10));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(pool), 0x12345678u);

  EXPECT_EQ(nullptr, VE_memory_pool_alloc(pool, 0));
  ve_memory_pool_handle_t block = VE_memory_pool_alloc(pool, 65535);
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(block, VE_memory_pool_data(pool, block));
  memset(VE_memory_pool_data(pool, block), 0xAB, 65535);  // the whole block is usable
  VE_memory_pool_free(pool, block);
  VE_memory_pool_free(pool, nullptr);

  ve_memory_pool_t foreign;
  EXPECT_EQ(nullptr, VE_memory_pool_alloc(&foreign, 16));
  EXPECT_EQ(nullptr, VE_memory_pool_data(&foreign, block));
  VE_memory_pool_free(&foreign, &foreign);  // ignored, not handed to the heap
  EXPECT_EQ(QIVA_ERR_INVALID, VE_memory_pool_destroy(&foreign));
  EXPECT_EQ(QIVA_ERR_INVALID, VE_memory_pool_destroy(nullptr));
  EXPECT_EQ(0, VE_memory_pool_destroy(pool));
}

// A client pool hands out its whole capacity of a class (made step by step), then heap blocks,
// and every block keeps its own bytes: blocks that overlapped, or pages that were not mapped,
// would show as a changed pattern or a crash. Freed blocks come back, each to the class and
// place its address says, and are reused intact. Every size up to the largest message has a class.
TEST(MemoryPool, ClientPoolBlocksStayDistinctBeyondCapacity) {
  const ve_uint16_t kMinBlocks = 1000;
  const size_t kCount = kMinBlocks + 128 + 20;  // the class's capacity, then the heap
  for (ve_uint16_t size : {100, 1000, 4000, 5000, 65535}) {
    ve_memory_pool_t *pool = nullptr;
    ASSERT_EQ(0, VE_memory_pool_create(&pool, kMinBlocks));
    std::vector<ve_memory_pool_handle_t> blocks(kCount);
    // A handle the pool never gave out, not marked as a heap block, is left alone: stacked as
    // block 0 it would be handed out twice below.
    alignas(8) unsigned char stranger[16] = {};
    VE_memory_pool_free(pool, stranger + 8);
    for (int round = 0; round < 2; ++round) {
      for (size_t i = 0; i < kCount; ++i) {
        blocks[i] = VE_memory_pool_alloc(pool, size);
        ASSERT_NE(nullptr, blocks[i]) << "size " << size << " block " << i;
        memset(VE_memory_pool_data(pool, blocks[i]), static_cast<int>((i + round) & 0xFF), size);
      }
      for (size_t i = 0; i < kCount; ++i) {
        const auto *bytes =
            static_cast<const unsigned char *>(VE_memory_pool_data(pool, blocks[i]));
        ASSERT_EQ((i + round) & 0xFF, bytes[0]) << "size " << size << " block " << i;
        ASSERT_EQ((i + round) & 0xFF, bytes[size - 1]) << "size " << size << " block " << i;
      }
      // Every other block first, so the free lists come back out of order.
      for (size_t i = 0; i < kCount; i += 2) VE_memory_pool_free(pool, blocks[i]);
      for (size_t i = 1; i < kCount; i += 2) VE_memory_pool_free(pool, blocks[i]);
    }
    EXPECT_EQ(0, VE_memory_pool_destroy(pool));
  }
}

// A block given back to a pool other than its own is left alone: that pool never hands it out
// nor any of its own blocks twice.
TEST(MemoryPool, BlockFreedToAnotherPoolIsLeftAlone) {
  const ve_uint16_t kMinBlocks = 16;
  ve_memory_pool_t *owner = nullptr;
  ve_memory_pool_t *other = nullptr;
  ASSERT_EQ(0, VE_memory_pool_create(&owner, kMinBlocks));
  ASSERT_EQ(0, VE_memory_pool_create(&other, kMinBlocks));
  ve_memory_pool_handle_t stray = VE_memory_pool_alloc(owner, 100);
  ASSERT_NE(nullptr, stray);
  VE_memory_pool_free(other, stray);
  std::set<ve_memory_pool_handle_t> handed;
  for (int i = 0; i < kMinBlocks + 128; ++i) {  // the other pool's whole class
    ve_memory_pool_handle_t block = VE_memory_pool_alloc(other, 100);
    ASSERT_NE(stray, block) << i;
    ASSERT_TRUE(handed.insert(block).second) << "handed out twice at " << i;
  }
  VE_memory_pool_free(owner, stray);
  EXPECT_EQ(0, VE_memory_pool_destroy(other));
  EXPECT_EQ(0, VE_memory_pool_destroy(owner));
}

}  // namespace

namespace {

// More live pools than the registry's lock-free slots: every one is served until destroyed,
// and refused after.
TEST(MemoryPool, ManyLivePoolsAreServedUntilDestroyed) {
  std::vector<ve_memory_pool_t *> pools(100);
  for (auto &pool : pools) ASSERT_EQ(0, VE_memory_pool_create(&pool, 1));
  for (auto *pool : pools) {
    ve_memory_pool_handle_t block = VE_memory_pool_alloc(pool, 64);
    ASSERT_NE(nullptr, block);
    EXPECT_EQ(block, VE_memory_pool_data(pool, block));
    VE_memory_pool_free(pool, block);
  }
  for (auto *pool : pools) EXPECT_EQ(0, VE_memory_pool_destroy(pool));
  for (auto *pool : pools) EXPECT_EQ(nullptr, VE_memory_pool_alloc(pool, 64));
}

}  // namespace
