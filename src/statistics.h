/* Process-wide statistics counters, shared by every configuration and never reset. */
#ifndef VESKA_SRC_STATISTICS_H
#define VESKA_SRC_STATISTICS_H

#include "lib/vecommon/ve_inttypes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum ve_counter_type {
  VE_STATS_CONNECTIONS_MADE = 0,
  VE_STATS_EVENTS_DROPPED = 1,
  VE_STATS_COUNTER_COUNT = 2
} ve_counter_type;

void VE_statistics_counter_increment(ve_counter_type type); /* wraps to 0 */
void VE_statistics_counter_decrement(ve_counter_type type);
void VE_statistics_counter_reset(ve_counter_type type);
ve_uint32_t VE_statistics_counter_get(ve_counter_type type);

/* The 10-byte statistics message: dropped events (32 bits), connections (low 16 bits). */
int VE_serialise_statistics_message(unsigned char *buffer);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_SRC_STATISTICS_H */
