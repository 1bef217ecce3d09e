/* Fixed-width big-endian integer writers and readers. No alignment assumed, nothing checked:
 * the caller guarantees room. */
#ifndef VESKA_SERIALISATION_SERIALISATION_H
#define VESKA_SERIALISATION_SERIALISATION_H

#include "lib/vecommon/ve_inttypes.h"

#ifdef __cplusplus
extern "C" {
#endif

void VE_pack_uint16(ve_uint16_t value, unsigned char *buffer);
void VE_pack_uint32(ve_uint32_t value, unsigned char *buffer);
/* The same two writers inlined, for the event writer that runs for every event, where a call
 * through the library's symbol table costs more than the stores. */
static inline void VE_pack_uint16_inline(ve_uint16_t value, unsigned char *buffer) {
  buffer[0] = (unsigned char)(value >> 8);
  buffer[1] = (unsigned char)value;
}
static inline void VE_pack_uint32_inline(ve_uint32_t value, unsigned char *buffer) {
  buffer[0] = (unsigned char)(value >> 24);
  buffer[1] = (unsigned char)(value >> 16);
  buffer[2] = (unsigned char)(value >> 8);
  buffer[3] = (unsigned char)value;
}
void VE_pack_uint64(ve_uint64_t value, unsigned char *buffer);
/* The low nbytes bytes of value, most significant first; higher bytes dropped. */
void VE_pack_uint(ve_uint64_t value, ve_uint8_t nbytes, unsigned char *buffer);

ve_uint16_t VE_unpack_uint16(const unsigned char *buffer);
ve_uint32_t VE_unpack_uint32(const unsigned char *buffer);
ve_uint64_t VE_unpack_uint64(const unsigned char *buffer);
/* nbytes big-endian bytes; 0 gives 0; beyond 8 only the last 8 remain. */
ve_uint64_t VE_unpack_uint(const unsigned char *buffer, ve_uint8_t nbytes);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_SERIALISATION_SERIALISATION_H */
