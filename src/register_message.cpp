// The registration message that opens each connection. It carries no identity of the
// client, so its bytes never change.
#include "src/register_message.h"

#include "lib/serialisation/serialisation.h"
#include "protocol/message_header.h"

extern "C" {

int VE_serialise_register_message(unsigned char *buffer) {
  int rc = VE_serialise_message_header(buffer, VE_MESSAGE_REGISTER,
                                       VE_REGISTER_MESSAGE_SIZE - VE_MESSAGE_HEADER_SIZE,
                                       VE_REGISTER_VERSION);
  if (rc != 0) return rc;
  VE_pack_uint16(0, buffer + VE_MESSAGE_HEADER_SIZE);
  return 0;
}

}  // extern "C"
