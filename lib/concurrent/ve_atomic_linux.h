/* The one atomic read-modify-write the library builds its lock-free counters on. */
#ifndef VESKA_CONCURRENT_VE_ATOMIC_LINUX_H
#define VESKA_CONCURRENT_VE_ATOMIC_LINUX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint64_t ve_atomic_t;

/* If *addr equals comparand it becomes exchange (full barrier). Returns the previous value:
 * the exchange happened exactly when that equals comparand. */
ve_atomic_t VE_atomic_compare_exchange(volatile ve_atomic_t *addr, ve_atomic_t exchange,
                                       ve_atomic_t comparand);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_CONCURRENT_VE_ATOMIC_LINUX_H */
