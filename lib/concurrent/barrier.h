/* A counting barrier: waiters block until the count of participants reaches zero. */
#ifndef VESKA_CONCURRENT_BARRIER_H
#define VESKA_CONCURRENT_BARRIER_H

#include <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct barrier_t {
  unsigned int count; /* participants still to arrive; set by the user before the first wait */
  pthread_mutex_t cond_mutex;
  pthread_cond_t cond;
} barrier_t;

/* Initialises the mutex, then the condition; 0 or the POSIX error (count is not touched). */
int barrier_init(barrier_t *barrier);
/* Counts this arrival and waits until every participant has arrived; 0 or a POSIX error. */
int barrier_wait(barrier_t *barrier);
/* Wakes any waiter, then destroys mutex and condition; the first non-zero POSIX result. */
int barrier_destroy(barrier_t *barrier);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_CONCURRENT_BARRIER_H */
