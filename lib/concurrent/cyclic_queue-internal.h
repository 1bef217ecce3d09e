// The library's own operations on a cyclic_queue_t, beside the exported CCQ_ ones: a push that
// runs the owner's bookkeeping inside the producers' critical section, and a pop of many
// blocks under one taking of the head lock. They are inline and hidden, so they add nothing to
// the exported surface and the record keeps its documented layout.
//
// Locks: tail_mutex serialises producers; head_mutex serialises every advance of head, whether
// the consumer pops or a producer drops the oldest block of a full ring. A push takes
// tail_mutex, then head_mutex only to drop; a pop or peek takes head_mutex only.
//
// Indices: head and tail are read without a lock (emptiness and fullness hints, a producer's
// fullness test, the consumer's fast emptiness test), so they are only accessed atomically.
// - A producer copies its block into the tail slot, then stores tail with release; every load
//   of tail that decides a slot may be read is an acquire, so the block is complete first.
// - The consumer copies the head block out, then stores head with release; a producer loads
//   head with acquire before it decides a slot is free, so the copy-out is complete first.
//
// Slot ownership, which is what keeps a block from being read while it is written: a producer
// writes only slot tail, which lies outside [head, tail) unless the ring is full; a full ring
// is never written before the producer has dropped the head block under head_mutex. The
// consumer copies only slot head, and only after testing again, with head_mutex held, that the
// ring is not empty. With capacity 1 the dropped block's slot is the slot the producer then
// writes: the consumer, waiting for head_mutex meanwhile, finds the ring empty when it gets
// the lock (head has reached the old tail) and copies nothing until the new tail is published.
#ifndef VESKA_CONCURRENT_CYCLIC_QUEUE_INTERNAL_H
#define VESKA_CONCURRENT_CYCLIC_QUEUE_INTERNAL_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "lib/concurrent/cyclic_queue.h"
#include "lib/concurrent/mutex_guard.h"
#include "types.h"

// Hidden: none of this is part of the library's exported surface.
#pragma GCC visibility push(hidden)
namespace veska_internal {

inline uint32_t ccq_load_index(const uint32_t *index) {
  return __atomic_load_n(index, __ATOMIC_ACQUIRE);
}

inline void ccq_store_index(uint32_t *index, uint32_t value) {
  __atomic_store_n(index, value, __ATOMIC_RELEASE);
}

inline uint32_t ccq_next_index(const cyclic_queue_t *queue, uint32_t index) {
  return (index + 1) % (2u * queue->size);
}

inline unsigned char *ccq_block_at(const cyclic_queue_t *queue, uint32_t index) {
  return queue->data + static_cast<size_t>(index % queue->size) * queue->block_size;
}

inline bool ccq_is_full(const cyclic_queue_t *queue, uint32_t head, uint32_t tail) {
  return (head + queue->size) % (2u * queue->size) == tail;
}

// A queue whose initialisation failed (or that was destroyed) has no storage and no mutexes.
inline bool ccq_usable(const cyclic_queue_t *queue) {
  return queue != nullptr && queue->data != nullptr;
}

// Runs with tail_mutex held, after any drop and before the new block is published: dropped is
// 1 when the ring was full and its oldest block was given up.
typedef void (*ccq_push_hook_t)(void *arg, int dropped);

// CCQ_push that runs hook(arg, dropped) inside the producers' critical section, so that what
// the owner counts per block changes before any consumer can see the block, and then adds one
// to *pushed (when not null): the hook sees the new block's number there. Returns 0, or 21 for
// an unusable queue or a null value.
inline int ccq_push_counted(cyclic_queue_t *queue, const void *value, void *old_value,
                            uint64_t *pushed, ccq_push_hook_t hook, void *arg) {
  if (!ccq_usable(queue) || value == nullptr) return QIVA_ERR_INVALID;
  // Producers hold tail_mutex for a few dozen instructions: one that finds it taken tries
  // again for a moment before sleeping on it.
  MutexGuard tail_guard(&queue->tail_mutex, MutexGuard::kSpinFirst);
  // tail changes only under tail_mutex, which is held: a relaxed load sees the last store.
  const uint32_t tail = __atomic_load_n(&queue->tail, __ATOMIC_RELAXED);
  int dropped = 0;
  if (ccq_is_full(queue, ccq_load_index(&queue->head), tail)) {
    MutexGuard head_guard(&queue->head_mutex);
    // The consumer may have popped meanwhile; then there is room and nothing is dropped.
    const uint32_t head = ccq_load_index(&queue->head);
    if (ccq_is_full(queue, head, tail)) {
      if (old_value != nullptr) memcpy(old_value, ccq_block_at(queue, head), queue->block_size);
      ccq_store_index(&queue->head, ccq_next_index(queue, head));
      dropped = 1;
    }
  }
  if (hook != nullptr) hook(arg, dropped);
  memcpy(ccq_block_at(queue, tail), value, queue->block_size);
  if (pushed != nullptr) ++*pushed;
  ccq_store_index(&queue->tail, ccq_next_index(queue, tail));
  return 0;
}

// Removes up to max of the oldest blocks into out (max * block_size bytes) under one taking of
// head_mutex; returns how many were removed (0 when empty). Only the single consumer calls it.
inline uint32_t ccq_pop_many(cyclic_queue_t *queue, void *out, uint32_t max) {
  if (!ccq_usable(queue) || out == nullptr || max == 0) return 0;
  if (ccq_load_index(&queue->head) == ccq_load_index(&queue->tail)) return 0;
  MutexGuard guard(&queue->head_mutex);
  uint32_t head = ccq_load_index(&queue->head);
  const uint32_t tail = ccq_load_index(&queue->tail);
  uint32_t count = 0;
  auto *bytes = static_cast<unsigned char *>(out);
  // The blocks between head and the tail loaded above are published; newer ones wait for the
  // next call.
  // Copied in runs of neighbouring slots: at most two, the second from the ring's start.
  while (head != tail && count < max) {
    const uint32_t slot = head % queue->size;
    uint32_t run = (tail + 2u * queue->size - head) % (2u * queue->size);
    if (run > queue->size - slot) run = queue->size - slot;
    if (run > max - count) run = max - count;
    memcpy(bytes + static_cast<size_t>(count) * queue->block_size, ccq_block_at(queue, head),
           static_cast<size_t>(run) * queue->block_size);
    head = (head + run) % (2u * queue->size);
    count += run;
  }
  ccq_store_index(&queue->head, head);
  return count;
}

}  // namespace veska_internal
#pragma GCC visibility pop

#endif  // VESKA_CONCURRENT_CYCLIC_QUEUE_INTERNAL_H
