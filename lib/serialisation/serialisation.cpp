// Big-endian integer writers and readers. Every access is a single byte, so no alignment is
// assumed, and shifts are done on unsigned values of the full width, so no sign extension or
// undefined shift can creep in.
#include "lib/serialisation/serialisation.h"

extern "C" {

void VE_pack_uint16(ve_uint16_t value, unsigned char *buffer) {
  VE_pack_uint16_inline(value, buffer);
}

void VE_pack_uint32(ve_uint32_t value, unsigned char *buffer) {
  VE_pack_uint32_inline(value, buffer);
}

void VE_pack_uint64(ve_uint64_t value, unsigned char *buffer) {
  VE_pack_uint32(static_cast<ve_uint32_t>(value >> 32), buffer);
  VE_pack_uint32(static_cast<ve_uint32_t>(value), buffer + 4);
}

void VE_pack_uint(ve_uint64_t value, ve_uint8_t nbytes, unsigned char *buffer) {
  // Fill from the last byte backwards; once the value's 8 bytes are used up, the leading
  // bytes of a wider field are zero (a 64-bit shift by 64 would be undefined, hence the test).
  for (unsigned i = 0; i < nbytes; ++i) {
    buffer[nbytes - 1 - i] = i < 8 ? static_cast<unsigned char>(value >> (8 * i)) : 0;
  }
}

ve_uint16_t VE_unpack_uint16(const unsigned char *buffer) {
  return static_cast<ve_uint16_t>((static_cast<ve_uint16_t>(buffer[0]) << 8) | buffer[1]);
}

ve_uint32_t VE_unpack_uint32(const unsigned char *buffer) {
  return (static_cast<ve_uint32_t>(buffer[0]) << 24) | (static_cast<ve_uint32_t>(buffer[1]) << 16) |
         (static_cast<ve_uint32_t>(buffer[2]) << 8) | static_cast<ve_uint32_t>(buffer[3]);
}

ve_uint64_t VE_unpack_uint64(const unsigned char *buffer) {
  return (static_cast<ve_uint64_t>(VE_unpack_uint32(buffer)) << 32) | VE_unpack_uint32(buffer + 4);
}

ve_uint64_t VE_unpack_uint(const unsigned char *buffer, ve_uint8_t nbytes) {
  // Bytes beyond the eighth push the earliest ones out of the top: only the last 8 remain.
  ve_uint64_t value = 0;
  for (unsigned i = 0; i < nbytes; ++i) {
    value = (value << 8) | buffer[i];
  }
  return value;
}

}  // extern "C"
