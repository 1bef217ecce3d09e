/* An intrusive singly linked FIFO list; items are embedded in the user's records. */
#ifndef VESKA_CONCURRENT_SLIST_H
#define VESKA_CONCURRENT_SLIST_H

#include <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct slist_item_t {
  struct slist_item_t *next;
} slist_item_t;

typedef struct slist_t {
  slist_item_t *head;
  slist_item_t *tail;
  pthread_mutex_t mutex;
} slist_t;

int CSLIST_init(slist_t *list); /* -1 for null, else the mutex initialisation's result */
int CSLIST_destroy(slist_t *list);
int CSLIST_push(slist_t *list, slist_item_t *item); /* appends at the tail; 0 */
slist_item_t *CSLIST_pop(slist_t *list);            /* the head, or null */
slist_item_t *CSLIST_peek(slist_t *list);           /* the head, unlocked */
int CSLIST_empty(slist_t *list);                    /* 1 when empty, unlocked */

#ifdef __cplusplus
}
#endif

#endif /* VESKA_CONCURRENT_SLIST_H */
