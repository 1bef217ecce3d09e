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

/* What sizing learnt about one event, kept for writing the same unchanged event: the present
 * sections, every list's item count and every name's byte count on the wire, in the order
 * the writer meets them. Sizing walks the lists and measures the names once, and the writer
 * reuses both, so the two can never disagree and no name is measured twice. Internal to the
 * library (hidden), for the tracking path. */
struct ve_event_layout_t {
  ve_uint16_t flags;
  ve_uint8_t counts[5];             /* instance data, stitches (horizontal, vertical), contexts */
  ve_uint8_t name_lengths[5 * 255]; /* each list holds at most 255 items */
};

/* VE_calculate_event_message_size that also fills *layout. */
__attribute__((visibility("hidden"))) ve_uint16_t VE_size_event_layout(const qiva_event_t *event,
                                                                       ve_event_layout_t *layout);
/* VE_serialise_event_message from a layout that VE_size_event_layout filled for the same
 * unchanged event, which accepted it (size is its payload plus 4). Writes the same bytes. */
__attribute__((visibility("hidden"))) void VE_write_event_layout(const qiva_event_t *event,
                                                                 const ve_event_layout_t *layout,
                                                                 unsigned char *buffer,
                                                                 ve_uint16_t size);
#endif

#endif /* VESKA_SRC_EVENT_MESSAGE_H */
