// The memory pool is a validating facade over the process heap: the "pool" is a sentinel value
// and a handle is the block's own address. Keeping callers on this interface lets a real pool
// replace the heap later without touching them.
#include "src/memory_pool.h"

#include <stdint.h>
#include <stdlib.h>

#include "types.h"

namespace {

ve_memory_pool_t *const kPoolSentinel = reinterpret_cast<ve_memory_pool_t *>(uintptr_t{0x12345678});

}  // namespace

extern "C" {

int VE_memory_pool_init(ve_memory_pool_t **pool, ve_uint16_t min_blocks) {
  (void)min_blocks;  // the heap needs no reservation
  if (pool == nullptr) return QIVA_ERR_INVALID;
  *pool = kPoolSentinel;
  return QIVA_SUCCESS;
}

int VE_memory_pool_destroy(ve_memory_pool_t *pool) {
  return pool == kPoolSentinel ? QIVA_SUCCESS : QIVA_ERR_INVALID;
}

ve_memory_pool_handle_t VE_memory_pool_alloc(ve_memory_pool_t *pool, ve_uint16_t size) {
  if (pool != kPoolSentinel || size == 0) return nullptr;
  return malloc(size);
}

void VE_memory_pool_free(ve_memory_pool_t *pool, ve_memory_pool_handle_t handle) {
  if (pool != kPoolSentinel || handle == nullptr) return;
  free(handle);
}

void *VE_memory_pool_data(ve_memory_pool_t *pool, ve_memory_pool_handle_t handle) {
  return pool == kPoolSentinel ? handle : nullptr;
}

}  // extern "C"
