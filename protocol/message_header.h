/*
 * The collector protocol's framing: every message is a 4-byte header (type, version,
 * big-endian payload length) followed by exactly that many payload bytes.
 */
#ifndef VESKA_PROTOCOL_MESSAGE_HEADER_H
#define VESKA_PROTOCOL_MESSAGE_HEADER_H

#include "lib/vecommon/ve_inttypes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum ve_message_type {
  VE_MESSAGE_REGISTER = 0, /* first message of every connection */
  VE_MESSAGE_EVENT = 1,    /* one tracked event */
  VE_MESSAGE_HEARTBEAT = 2 /* version 1: heartbeat; version 0: statistics */
} ve_message_type;

#define VE_MESSAGE_HEADER_SIZE 4
#define VE_REGISTER_MESSAGE_SIZE 6
#define VE_STATISTICS_MESSAGE_SIZE 10
#define VE_HEARTBEAT_MESSAGE_SIZE 10
#define VE_REGISTER_VERSION 0
#define VE_EVENT_VERSION 0
#define VE_STATISTICS_VERSION 0
#define VE_HEARTBEAT_VERSION 1

/* Writes the four header bytes unchanged; always 0. */
int VE_serialise_message_header(unsigned char *buffer, ve_message_type message_type,
                                ve_uint16_t payload_length, ve_uint8_t message_version);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_PROTOCOL_MESSAGE_HEADER_H */
