// The memory pool facade.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

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

}  // namespace
