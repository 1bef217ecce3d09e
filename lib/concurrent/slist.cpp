// An intrusive FIFO list. Push and pop are serialised by the list's mutex; peek and empty read
// the head without it, so head is stored and loaded atomically to keep those reads well defined.
#include "lib/concurrent/slist.h"

#include <string.h>

#include "lib/concurrent/mutex_guard.h"

extern "C" {

int CSLIST_init(slist_t *list) {
  if (list == nullptr) return -1;
  memset(list, 0, sizeof *list);
  return pthread_mutex_init(&list->mutex, nullptr);
}

int CSLIST_destroy(slist_t *list) {
  if (list == nullptr) return -1;
  pthread_mutex_destroy(&list->mutex);
  return 0;
}

int CSLIST_push(slist_t *list, slist_item_t *item) {
  if (list == nullptr || item == nullptr) return -1;
  MutexGuard guard(&list->mutex);
  item->next = nullptr;
  if (list->tail == nullptr) {
    // Release: an unlocked peek that sees the item also sees its next field cleared.
    __atomic_store_n(&list->head, item, __ATOMIC_RELEASE);
  } else {
    list->tail->next = item;
  }
  list->tail = item;
  return 0;
}

slist_item_t *CSLIST_pop(slist_t *list) {
  if (list == nullptr) return nullptr;
  MutexGuard guard(&list->mutex);
  slist_item_t *item = list->head;
  if (item != nullptr) {
    __atomic_store_n(&list->head, item->next, __ATOMIC_RELEASE);
    if (item->next == nullptr) list->tail = nullptr;
    item->next = nullptr;
  }
  return item;
}

slist_item_t *CSLIST_peek(slist_t *list) {
  return list == nullptr ? nullptr : __atomic_load_n(&list->head, __ATOMIC_ACQUIRE);
}

int CSLIST_empty(slist_t *list) {
  return list == nullptr || __atomic_load_n(&list->head, __ATOMIC_ACQUIRE) == nullptr ? 1 : 0;
}

}  // extern "C"
