// The client's own way to its size-class pool: the same blocks and handles as the exported
// VE_memory_pool_ operations, without their check that the pool value is one the library made.
// Only for a pool the caller knows to be the sentinel or one from VE_memory_pool_create that
// is still alive; hidden, so nothing here is exported.
#ifndef VESKA_SRC_MEMORY_POOL_INTERNAL_H
#define VESKA_SRC_MEMORY_POOL_INTERNAL_H

#include "src/memory_pool.h"

// Hidden: none of this is part of the library's exported surface.
#pragma GCC visibility push(hidden)
namespace veska_internal {

// A block of size bytes, or null (size 0, heap exhausted).
ve_memory_pool_handle_t pool_alloc(ve_memory_pool_t *pool, ve_uint16_t size);
// Gives a block back to the pool it came from; a null handle does nothing.
void pool_free(ve_memory_pool_t *pool, ve_memory_pool_handle_t handle);
// Gives back count blocks at once, as pool_free would one by one; null handles are skipped.
void pool_free_many(ve_memory_pool_t *pool, ve_memory_pool_handle_t *handles, ve_uint32_t count);
// The block's bytes: the handle is their address.
inline void *pool_data(ve_memory_pool_t *, ve_memory_pool_handle_t handle) { return handle; }
// Takes (lock 1) or releases (lock 0) the pool's internal locks around a fork.
void pool_fork_lock(ve_memory_pool_t *pool, int lock);

}  // namespace veska_internal
#pragma GCC visibility pop

#endif  // VESKA_SRC_MEMORY_POOL_INTERNAL_H
