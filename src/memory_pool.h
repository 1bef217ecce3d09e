/*
 * The memory pool: a validating facade over the process heap. A handle is the block's
 * address; callers reach bytes only through VE_memory_pool_data and free through
 * VE_memory_pool_free.
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
int VE_memory_pool_destroy(ve_memory_pool_t *pool);                       /* 0 or 21 */
/* A new block of size bytes, or null (size 0, foreign pool, heap exhausted). */
ve_memory_pool_handle_t VE_memory_pool_alloc(ve_memory_pool_t *pool, ve_uint16_t size);
void VE_memory_pool_free(ve_memory_pool_t *pool, ve_memory_pool_handle_t handle);
void *VE_memory_pool_data(ve_memory_pool_t *pool, ve_memory_pool_handle_t handle);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_SRC_MEMORY_POOL_H */
