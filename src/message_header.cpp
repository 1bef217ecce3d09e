// The 4-byte header in front of every collector message.
#include "protocol/message_header.h"

#include "lib/serialisation/serialisation.h"

extern "C" {

int VE_serialise_message_header(unsigned char *buffer, ve_message_type message_type,
                                ve_uint16_t payload_length, ve_uint8_t message_version) {
  // Nothing is validated: the serialisers pass constants, and a reader frames the stream
  // purely by the length written here.
  buffer[0] = static_cast<unsigned char>(message_type);
  buffer[1] = message_version;
  VE_pack_uint16(payload_length, buffer + 2);
  return 0;
}

}  // extern "C"
