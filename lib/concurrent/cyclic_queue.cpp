// A bounded ring of fixed-size blocks for many producers and one consumer.
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
#include "lib/concurrent/cyclic_queue.h"

#include <stdlib.h>
#include <string.h>

#include "lib/concurrent/mutex_guard.h"
#include "types.h"

namespace {

inline uint32_t _load_index(const uint32_t *index) {
  return __atomic_load_n(index, __ATOMIC_ACQUIRE);
}

inline void _store_index(uint32_t *index, uint32_t value) {
  __atomic_store_n(index, value, __ATOMIC_RELEASE);
}

inline uint32_t _next_index(const cyclic_queue_t *queue, uint32_t index) {
  return (index + 1) % (2u * queue->size);
}

inline unsigned char *_block_at(const cyclic_queue_t *queue, uint32_t index) {
  return queue->data + static_cast<size_t>(index % queue->size) * queue->block_size;
}

inline bool _is_full(const cyclic_queue_t *queue, uint32_t head, uint32_t tail) {
  return (head + queue->size) % (2u * queue->size) == tail;
}

// A queue whose initialisation failed (or that was destroyed) has no storage and no mutexes.
inline bool _usable(const cyclic_queue_t *queue) {
  return queue != nullptr && queue->data != nullptr;
}

}  // namespace

extern "C" {

int CCQ_init(cyclic_queue_t *queue, uint16_t size, uint16_t block_size) {
  if (queue == nullptr) return QIVA_ERR_INVALID;
  memset(queue, 0, sizeof *queue);
  // A capacity of 0 would make every index computation divide by zero.
  if (size == 0) return QIVA_ERR_INVALID;
  size_t bytes = static_cast<size_t>(size) * block_size;
  queue->data = static_cast<unsigned char *>(malloc(bytes != 0 ? bytes : 1));
  if (queue->data == nullptr) return QIVA_ERR_NOMEM;
  // Written once now, so that every page of the ring is present before the first push: a
  // push that touched a fresh page would pay for its fault, and the tail passes every page.
  memset(queue->data, 0, bytes);
  queue->size = size;
  queue->block_size = block_size;
  _store_index(&queue->head, 0);
  _store_index(&queue->tail, 0);
  pthread_mutex_init(&queue->head_mutex, nullptr);
  pthread_mutex_init(&queue->tail_mutex, nullptr);
  return QIVA_SUCCESS;
}

int CCQ_destroy(cyclic_queue_t *queue) {
  // The mutexes exist exactly when the storage does (CCQ_init makes both or neither).
  if (queue == nullptr || queue->data == nullptr) return QIVA_SUCCESS;
  free(queue->data);
  queue->data = nullptr;
  pthread_mutex_destroy(&queue->head_mutex);
  pthread_mutex_destroy(&queue->tail_mutex);
  return QIVA_SUCCESS;
}

int CCQ_push(cyclic_queue_t *queue, const void *value, void *old_value) {
  return CCQ_push_counted(queue, value, old_value, nullptr, nullptr);
}

int CCQ_push_counted(cyclic_queue_t *queue, const void *value, void *old_value,
                     ccq_push_hook_t hook, void *arg) {
  if (!_usable(queue) || value == nullptr) return QIVA_ERR_INVALID;
  // Producers hold tail_mutex for a few dozen instructions: one that finds it taken tries
  // again for a moment before sleeping on it.
  MutexGuard tail_guard(&queue->tail_mutex, MutexGuard::kSpinFirst);
  // tail changes only under tail_mutex, which is held: a relaxed load sees the last store.
  uint32_t tail = __atomic_load_n(&queue->tail, __ATOMIC_RELAXED);
  int dropped = 0;
  if (_is_full(queue, _load_index(&queue->head), tail)) {
    MutexGuard head_guard(&queue->head_mutex);
    // The consumer may have popped meanwhile; then there is room and nothing is dropped.
    uint32_t head = _load_index(&queue->head);
    if (_is_full(queue, head, tail)) {
      if (old_value != nullptr) memcpy(old_value, _block_at(queue, head), queue->block_size);
      _store_index(&queue->head, _next_index(queue, head));
      dropped = 1;
    }
  }
  if (hook != nullptr) hook(arg, dropped);
  memcpy(_block_at(queue, tail), value, queue->block_size);
  ++queue->pushed;
  _store_index(&queue->tail, _next_index(queue, tail));
  return QIVA_SUCCESS;
}

void *CCQ_pop(cyclic_queue_t *queue, void *out) {
  if (!_usable(queue)) return nullptr;
  // Fast path without the lock; the test that counts is the one below, under head_mutex,
  // because a producer dropping the oldest block can empty the ring in between.
  if (_load_index(&queue->head) == _load_index(&queue->tail)) return nullptr;
  MutexGuard guard(&queue->head_mutex);
  uint32_t head = _load_index(&queue->head);
  if (head == _load_index(&queue->tail)) return nullptr;
  if (out != nullptr) memcpy(out, _block_at(queue, head), queue->block_size);
  _store_index(&queue->head, _next_index(queue, head));
  return out;
}

uint32_t CCQ_pop_many(cyclic_queue_t *queue, void *out, uint32_t max) {
  if (!_usable(queue) || out == nullptr || max == 0) return 0;
  if (_load_index(&queue->head) == _load_index(&queue->tail)) return 0;
  MutexGuard guard(&queue->head_mutex);
  uint32_t head = _load_index(&queue->head);
  const uint32_t tail = _load_index(&queue->tail);
  uint32_t count = 0;
  auto *bytes = static_cast<unsigned char *>(out);
  // The blocks between head and the tail loaded above are published; newer ones wait for the
  // next call.
  while (head != tail && count < max) {
    memcpy(bytes + static_cast<size_t>(count) * queue->block_size, _block_at(queue, head),
           queue->block_size);
    head = _next_index(queue, head);
    ++count;
  }
  _store_index(&queue->head, head);
  return count;
}

void *CCQ_peek(cyclic_queue_t *queue) {
  if (!_usable(queue)) return nullptr;
  if (_load_index(&queue->head) == _load_index(&queue->tail)) return nullptr;
  MutexGuard guard(&queue->head_mutex);
  uint32_t head = _load_index(&queue->head);
  return head == _load_index(&queue->tail) ? nullptr : _block_at(queue, head);
}

int CCQ_empty(cyclic_queue_t *queue) {
  if (!_usable(queue)) return 1;
  return _load_index(&queue->head) == _load_index(&queue->tail) ? 1 : 0;
}

int CCQ_full(cyclic_queue_t *queue) {
  if (!_usable(queue)) return 0;
  return _is_full(queue, _load_index(&queue->head), _load_index(&queue->tail)) ? 1 : 0;
}

}  // extern "C"
