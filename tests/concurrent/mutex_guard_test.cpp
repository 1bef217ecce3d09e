// The scoped lock: it holds the mutex for its scope and never unlocks one it did not take.
#include "lib/concurrent/mutex_guard.h"

#include <errno.h>
#include <gtest/gtest.h>

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
    }
    EXPECT_EQ(pthread_mutex_trylock(&mutex), EBUSY);
  }
  EXPECT_EQ(pthread_mutex_trylock(&mutex), 0);
  pthread_mutex_unlock(&mutex);
  pthread_mutex_destroy(&mutex);
  pthread_mutexattr_destroy(&attributes);
}

}  // namespace
