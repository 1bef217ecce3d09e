// The exported operations of the bounded ring of fixed-size blocks, for many producers and one
// consumer, as documented for outside callers. The locking and ordering rules they share with
// the library's own operations are described in cyclic_queue-internal.h.
#include "lib/concurrent/cyclic_queue.h"

#include <stdlib.h>
#include <string.h>

#include "lib/concurrent/cyclic_queue-internal.h"
#include "lib/concurrent/mutex_guard.h"
#include "types.h"

namespace {

using veska_internal::ccq_block_at;
using veska_internal::ccq_is_full;
using veska_internal::ccq_load_index;
using veska_internal::ccq_next_index;
using veska_internal::ccq_store_index;
using veska_internal::ccq_usable;

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
  ccq_store_index(&queue->head, 0);
  ccq_store_index(&queue->tail, 0);
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
  return veska_internal::ccq_push_counted(queue, value, old_value, nullptr, nullptr, nullptr);
}

void *CCQ_pop(cyclic_queue_t *queue, void *out) {
  if (!ccq_usable(queue)) return nullptr;
  // Fast path without the lock; the test that counts is the one below, under head_mutex,
  // because a producer dropping the oldest block can empty the ring in between.
  if (ccq_load_index(&queue->head) == ccq_load_index(&queue->tail)) return nullptr;
  MutexGuard guard(&queue->head_mutex);
  uint32_t head = ccq_load_index(&queue->head);
  if (head == ccq_load_index(&queue->tail)) return nullptr;
  if (out != nullptr) memcpy(out, ccq_block_at(queue, head), queue->block_size);
  ccq_store_index(&queue->head, ccq_next_index(queue, head));
  return out;
}

void *CCQ_peek(cyclic_queue_t *queue) {
  if (!ccq_usable(queue)) return nullptr;
  if (ccq_load_index(&queue->head) == ccq_load_index(&queue->tail)) return nullptr;
  MutexGuard guard(&queue->head_mutex);
  uint32_t head = ccq_load_index(&queue->head);
  return head == ccq_load_index(&queue->tail) ? nullptr : ccq_block_at(queue, head);
}

int CCQ_empty(cyclic_queue_t *queue) {
  if (!ccq_usable(queue)) return 1;
  return ccq_load_index(&queue->head) == ccq_load_index(&queue->tail) ? 1 : 0;
}

int CCQ_full(cyclic_queue_t *queue) {
  if (!ccq_usable(queue)) return 0;
  return ccq_is_full(queue, ccq_load_index(&queue->head), ccq_load_index(&queue->tail)) ? 1 : 0;
}

}  // extern "C"
