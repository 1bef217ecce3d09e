/* Fixed-width integers under the library's internal names. */
#ifndef VESKA_VE_INTTYPES_H
#define VESKA_VE_INTTYPES_H

#include <stdint.h>

typedef uint8_t ve_uint8_t;
typedef uint16_t ve_uint16_t;
typedef uint32_t ve_uint32_t;
typedef uint64_t ve_uint64_t;
typedef int32_t ve_int32_t;

#endif /* VESKA_VE_INTTYPES_H */
