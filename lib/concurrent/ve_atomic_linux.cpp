// The library's one atomic read-modify-write: a 64-bit compare-and-swap (lock cmpxchg on
// x86-64) with sequentially consistent ordering, which is a full barrier either way.
#include "lib/concurrent/ve_atomic_linux.h"

extern "C" {

ve_atomic_t VE_atomic_compare_exchange(volatile ve_atomic_t *addr, ve_atomic_t exchange,
                                       ve_atomic_t comparand) {
  ve_atomic_t previous = comparand;
  // On failure the builtin writes the value it found into previous; on success previous
  // already holds it (it equalled comparand). Either way it is the value before.
  __atomic_compare_exchange_n(addr, &previous, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return previous;
}

}  // extern "C"
