/* Time and sleep wrappers; the rest of the library never reads the clock directly. */
#ifndef VESKA_VECOMMON_VE_TIME_H
#define VESKA_VECOMMON_VE_TIME_H

#include "lib/vecommon/ve_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Wall-clock time with microseconds into *t (unchanged on failure); returns t. */
qiva_time_t *QIVA_time(qiva_time_t *t);
/* The process's user and system CPU times; either pointer may be null. */
void QIVA_process_times(qiva_time_t *user, qiva_time_t *system);
/* Sleeps whole seconds, then the remaining milliseconds; a signal cuts it short. */
void qiva_msleep(ve_uint64_t milliseconds);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_VECOMMON_VE_TIME_H */
