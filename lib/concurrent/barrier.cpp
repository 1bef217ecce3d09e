// A counting barrier over one mutex and one condition. The count is set by the user before the
// first wait; every arrival decrements it and the arrival that brings it to zero wakes the rest.
#include "lib/concurrent/barrier.h"

extern "C" {

int barrier_init(barrier_t *barrier) {
  int rc = pthread_mutex_init(&barrier->cond_mutex, nullptr);
  if (rc != 0) return rc;
  rc = pthread_cond_init(&barrier->cond, nullptr);
  if (rc != 0) pthread_mutex_destroy(&barrier->cond_mutex);
  return rc;
}

int barrier_wait(barrier_t *barrier) {
  int rc = pthread_mutex_lock(&barrier->cond_mutex);
  if (rc != 0) return rc;
  // A barrier that has already opened lets late arrivals through instead of wrapping the
  // unsigned count round and blocking them for ever.
  if (barrier->count == 0) return pthread_mutex_unlock(&barrier->cond_mutex);
  barrier->count--;
  if (barrier->count == 0) {
    rc = pthread_cond_broadcast(&barrier->cond);
    if (rc != 0) {
      pthread_mutex_unlock(&barrier->cond_mutex);
      return rc;
    }
    return pthread_mutex_unlock(&barrier->cond_mutex);
  }
  // The loop absorbs spurious wake-ups: only a count of zero releases a waiter.
  do {
    rc = pthread_cond_wait(&barrier->cond, &barrier->cond_mutex);
  } while (rc == 0 && barrier->count != 0);
  pthread_mutex_unlock(&barrier->cond_mutex);
  return rc;
}

int barrier_destroy(barrier_t *barrier) {
  int rc = pthread_cond_broadcast(&barrier->cond);
  if (rc != 0) return rc;
  rc = pthread_mutex_destroy(&barrier->cond_mutex);
  if (rc != 0) return rc;
  return pthread_cond_destroy(&barrier->cond);
}

}  // extern "C"
