// A scoped lock over a pthread_mutex_t: every return path of a locked section unlocks, in the
// reverse order of locking when guards nest. A failed lock leaves nothing to unlock; callers
// that must report it (with 25) ask locked().
#ifndef VESKA_CONCURRENT_MUTEX_GUARD_H
#define VESKA_CONCURRENT_MUTEX_GUARD_H

#include <pthread.h>

class MutexGuard {
 public:
  explicit MutexGuard(pthread_mutex_t *mutex)
      : mutex_(pthread_mutex_lock(mutex) == 0 ? mutex : nullptr) {}
  ~MutexGuard() {
    if (mutex_ != nullptr) pthread_mutex_unlock(mutex_);
  }
  MutexGuard(const MutexGuard &) = delete;
  MutexGuard &operator=(const MutexGuard &) = delete;

  // Whether the constructor took the lock.
  bool locked() const { return mutex_ != nullptr; }

 private:
  pthread_mutex_t *mutex_;  // null when the lock failed
};

#endif  // VESKA_CONCURRENT_MUTEX_GUARD_H
