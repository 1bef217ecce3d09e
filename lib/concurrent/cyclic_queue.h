/*
 * A bounded ring of fixed-size blocks, copied in and out by value, for many producers and one
 * consumer. A push into a full ring drops the oldest block (optionally handing it back).
 * head and tail run over 0 .. 2*size-1 so that full and empty can be told apart.
 */
#ifndef VESKA_CONCURRENT_CYCLIC_QUEUE_H
#define VESKA_CONCURRENT_CYCLIC_QUEUE_H

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct cyclic_queue_t {
  unsigned char *data; /* size * block_size bytes, owned by the queue */
  uint16_t size;       /* capacity in blocks, at least 1 */
  uint16_t block_size; /* bytes per block */
  /* Indices are read without a lock by the emptiness and fullness tests, so they are only
   * ever accessed with __atomic operations (see cyclic_queue-internal.h for the orderings). */
  uint32_t head; /* oldest block */
  uint32_t tail; /* one past the newest block */
  pthread_mutex_t head_mutex;
  pthread_mutex_t tail_mutex;
} cyclic_queue_t;

/* 0, or 24 when the storage cannot be allocated (data stays null, no mutex initialised). */
int CCQ_init(cyclic_queue_t *queue, uint16_t size, uint16_t block_size);
/* Frees the storage and the mutexes; queued blocks are discarded. Returns 0. */
int CCQ_destroy(cyclic_queue_t *queue);
/* Copies value in as the newest block; when full, the oldest is dropped first and copied to
 * old_value when that is not null. Returns 0. */
int CCQ_push(cyclic_queue_t *queue, const void *value, void *old_value);
/* Removes the oldest block into out (when not null) and returns out; null when empty. */
void *CCQ_pop(cyclic_queue_t *queue, void *out);
/* The oldest block inside the ring, valid until popped or overwritten; null when empty. */
void *CCQ_peek(cyclic_queue_t *queue);
int CCQ_empty(cyclic_queue_t *queue);
int CCQ_full(cyclic_queue_t *queue);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_CONCURRENT_CYCLIC_QUEUE_H */
