/* The 10-byte heartbeat message carrying the seconds of a time (null: now). */
#ifndef VESKA_SRC_HEARTBEAT_H
#define VESKA_SRC_HEARTBEAT_H

#include "lib/vecommon/ve_types.h"

#ifdef __cplusplus
extern "C" {
#endif

int VE_serialise_heartbeat_message(unsigned char *buffer, const ve_time_t *timestamp);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_SRC_HEARTBEAT_H */
