// The scoped lock: it holds the mutex for its scope and never unlocks one it did not take.
#include "lib/concurrent/mutex_guard.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <thread>

namespace {

TEST(MutexGuard, HoldsForItsScopeAndLeavesAFailedLockAlone) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_t mutex;
  ASSERT_EQ(pthread_mutex_init(&mutex, &attributes), 0);
  {
    MutexGuard outer(&mutex);
    EXPECT_TRUE(outer.locked());
    EXPECT_EQ(pthread_mutex_trylock(&mutex), EBUSY);
    {
      // An error-checking mutex refuses a second lock by its owner: the inner guard must not
      // unlock on its way out, or the outer section would run unprotected.
      MutexGuard inner(&mutex);
      EXPECT_FALSE(inner.locked());
      MutexGuard spinning(&mutex, MutexGuard::kSpinFirst);
      EXPECT_FALSE(spinning.locked());
    }
    EXPECT_EQ(pthread_mutex_trylock(&mutex), EBUSY);
  }
  EXPECT_EQ(pthread_mutex_trylock(&mutex), 0);
  pthread_mutex_unlock(&mutex);
  pthread_mutex_destroy(&mutex);
  pthread_mutexattr_destroy(&attributes);
}

// A guard that spins first still waits for a holder that keeps the lock far longer than the
// spin, and only then enters.
TEST(MutexGuard, SpinningFirstWaitsOutALongHolder) {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  std::atomic<int> held{0};
  int written_by_holder = 0;
  std::thread holder([&] {
    pthread_mutex_lock(&mutex);
    held.store(1);
    struct timespec pause = {0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    written_by_holder = 1;
    pthread_mutex_unlock(&mutex);
  });
  for (int i = 0; i < 10000 && held.load() == 0; ++i) {
    struct timespec wait = {0, 1000 * 1000};
    nanosleep(&wait, nullptr);
  }
  ASSERT_EQ(held.load(), 1);
  {
    MutexGuard guard(&mutex, MutexGuard::kSpinFirst);
    ASSERT_TRUE(guard.locked());
    EXPECT_EQ(written_by_holder, 1);
  }
  holder.join();
  EXPECT_EQ(pthread_mutex_trylock(&mutex), 0);
  pthread_mutex_unlock(&mutex);
}

}  // namespace
