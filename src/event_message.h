/* Sizing and serialising one event message. */
#ifndef VESKA_SRC_EVENT_MESSAGE_H
#define VESKA_SRC_EVENT_MESSAGE_H

#include "lib/vecommon/ve_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Largest payload the size calculation accepts; 65535 means "too large". */
#define VE_EVENT_PAYLOAD_MAX 65534u
#define VE_EVENT_PAYLOAD_TOO_LARGE 65535u
/* Largest payload whose whole message (with its header) still fits in 65535 bytes. */
#define VE_EVENT_PAYLOAD_LIMIT 65531u

/* The payload length (12 to 65534), or 65535 when the message would be too large. */
ve_uint16_t VE_calculate_event_message_size(const qiva_event_t *event);
/* Writes header and payload; size is the calculated payload plus 4, for the same unchanged
 * event. 0, or 24 for a null buffer. */
int VE_serialise_event_message(const qiva_event_t *event, unsigned char *buffer, ve_uint16_t size);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_SRC_EVENT_MESSAGE_H */
