// The heartbeat message: the seconds of a time, so the collector can tell a quiet client
// from a lost one.
#include "src/heartbeat.h"

#include "lib/serialisation/serialisation.h"
#include "lib/vecommon/ve_time.h"
#include "protocol/message_header.h"

extern "C" {

int VE_serialise_heartbeat_message(unsigned char *buffer, const ve_time_t *timestamp) {
  int rc = VE_serialise_message_header(buffer, VE_MESSAGE_HEARTBEAT,
                                       VE_HEARTBEAT_MESSAGE_SIZE - VE_MESSAGE_HEADER_SIZE,
                                       VE_HEARTBEAT_VERSION);
  if (rc != 0) return rc;
  ve_time_t now = {0, 0};  // stays zero if the clock cannot be read
  if (timestamp == nullptr) timestamp = QIVA_time(&now);
  VE_pack_uint32(timestamp->sec, buffer + 4);
  VE_pack_uint16(0, buffer + 8);  // microseconds are not sent
  return 0;
}

}  // extern "C"
