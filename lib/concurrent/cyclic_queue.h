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
   * ever accessed with __atomic operations (see cyclic_queue.cpp for the orderings). */
  uint32_t head; /* oldest block */
  /* The padding keeps what the consumer writes (head, head_mutex) and what producers write
   * (tail_mutex, tail, pushed) on cache lines of their own, whatever the record's alignment:
   * a producer and a consumer on two cores then pass a line between them once per batch the
   * consumer takes, not at every push. What a push writes follows the lock word, so that a
   * producer taking the lock from another core mostly finds it on the same line. */
  unsigned char consumer_line_[64];
  pthread_mutex_t head_mutex;
  unsigned char producer_line_[64];
  pthread_mutex_t tail_mutex;
  uint32_t tail;   /* one past the newest block */
  uint64_t pushed; /* blocks ever pushed; changed and read with tail_mutex held */
} cyclic_queue_t;

/* 0, or 24 when the storage cannot be allocated (data stays null, no mutex initialised). */
int CCQ_init(cyclic_queue_t *queue, uint16_t size, uint16_t block_size);
/* Frees the storage and the mutexes; queued blocks are discarded. Returns 0. */
int CCQ_destroy(cyclic_queue_t *queue);
/* Copies value in as the newest block; when full, the oldest is dropped first and copied to
 * old_value when that is not null. Returns 0. */
int CCQ_push(cyclic_queue_t *queue, const void *value, void *old_value);
/* Called by CCQ_push_counted with tail_mutex held, after any drop and before the new block
 * is published: dropped is 1 when the ring was full and its oldest block was given up.
 * pushed still counts the blocks before this one, so it is the new block's number. */
typedef void (*ccq_push_hook_t)(void *arg, int dropped);
/* CCQ_push that runs hook(arg, dropped) inside the producers' critical section, so that what
 * the owner counts per block changes before any consumer can see the block. Returns 0, or 21
 * for an unusable queue or a null value. */
int CCQ_push_counted(cyclic_queue_t *queue, const void *value, void *old_value,
                     ccq_push_hook_t hook, void *arg);
/* Removes up to max of the oldest blocks into out (max * block_size bytes) under one taking
 * of head_mutex; returns how many were removed (0 when empty). */
uint32_t CCQ_pop_many(cyclic_queue_t *queue, void *out, uint32_t max);
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
