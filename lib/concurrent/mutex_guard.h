// A scoped lock over a pthread_mutex_t: every return path of a locked section unlocks, in the
// reverse order of locking when guards nest. A failed lock leaves nothing to unlock; callers
// that must report it (with 25) ask locked().
#ifndef VESKA_CONCURRENT_MUTEX_GUARD_H
#define VESKA_CONCURRENT_MUTEX_GUARD_H

#include <pthread.h>

class MutexGuard {
 public:
  enum SpinFirst { kSpinFirst };

  explicit MutexGuard(pthread_mutex_t *mutex)
      : mutex_(pthread_mutex_lock(mutex) == 0 ? mutex : nullptr) {}
  // For a lock that is only ever held for a few dozen instructions: a thread that finds it
  // taken tries again for about a microsecond before blocking. Going to sleep at once would
  // cost the waiter and the holder's unlock a futex call each, several microseconds apiece on
  // a virtual machine, for a wait far shorter than that.
  MutexGuard(pthread_mutex_t *mutex, SpinFirst)
      : mutex_(_lock_spinning_first(mutex) == 0 ? mutex : nullptr) {}
  ~MutexGuard() {
    if (mutex_ != nullptr) pthread_mutex_unlock(mutex_);
  }
  MutexGuard(const MutexGuard &) = delete;
  MutexGuard &operator=(const MutexGuard &) = delete;

  // Whether the constructor took the lock.
  bool locked() const { return mutex_ != nullptr; }

 private:
  static int _lock_spinning_first(pthread_mutex_t *mutex) {
    for (int attempt = 0; attempt < kSpinAttempts; ++attempt) {
      if (pthread_mutex_trylock(mutex) == 0) return 0;
      for (int pause = 0; pause < kPausesPerAttempt; ++pause) _pause();
    }
    return pthread_mutex_lock(mutex);
  }
  static void _pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield" ::: "memory");
#else
    __asm__ __volatile__("" ::: "memory");
#endif
  }

  static const int kSpinAttempts = 20;
  static const int kPausesPerAttempt = 4;

  pthread_mutex_t *mutex_;  // null when the lock failed
};

#endif  // VESKA_CONCURRENT_MUTEX_GUARD_H
