/*
 * The memory pool. VE_memory_pool_init gives the sentinel pool, a validating facade over the
 * process heap; VE_memory_pool_create gives a client state its own pool of size-class free
 * lists. Either way a handle is the address of the block's bytes; callers reach bytes only
 * through VE_memory_pool_data and free through VE_memory_pool_free. Every operation refuses a
 * pool value that is neither the sentinel nor a live pool of VE_memory_pool_create (null, 21,
 * or nothing done) without reading it.
 */
#ifndef VESKA_SRC_MEMORY_POOL_H
#define VESKA_SRC_MEMORY_POOL_H

#include "lib/vecommon/ve_inttypes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ve_memory_pool_t {
  void *dummy;
} ve_memory_pool_t;
typedef void *ve_memory_pool_handle_t;

int VE_memory_pool_init(ve_memory_pool_t **pool, ve_uint16_t min_blocks); /* 0 or 21 */
/* A pool of its own for one client state: free lists by size class for about min_blocks
 * messages of each size, refilled by every free, the heap for rare sizes. Any thread may
 * allocate and free at once. The same operations apply to it; VE_memory_pool_destroy frees
 * it, after every block has come back. 0, 21 (null pool) or 24. */
int VE_memory_pool_create(ve_memory_pool_t **pool, ve_uint16_t min_blocks);
/* Fork handlers: lock 1 takes the pool's internal locks before fork(), lock 0 releases them
 * after it, on both sides, so a child never inherits one held by a thread it does not have.
 * Does nothing for the sentinel pool. */
void VE_memory_pool_fork_lock(ve_memory_pool_t *pool, int lock);
int VE_memory_pool_destroy(ve_memory_pool_t *pool); /* 0 or 21 */
/* A new block of size bytes, or null (size 0, foreign pool, heap exhausted). */
ve_memory_pool_handle_t VE_memory_pool_alloc(ve_memory_pool_t *pool, ve_uint16_t size);
void VE_memory_pool_free(ve_memory_pool_t *pool, ve_memory_pool_handle_t handle);
void *VE_memory_pool_data(ve_memory_pool_t *pool, ve_memory_pool_handle_t handle);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_SRC_MEMORY_POOL_H */
