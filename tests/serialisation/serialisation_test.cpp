// Big-endian writers and readers: byte order, partial widths, round trips at the edges.
#include "lib/serialisation/serialisation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

TEST(Serialisation, FixedWidthWritersAreMostSignificantFirst) {
  unsigned char b[9] = {0};
  VE_pack_uint16(0x1234, b);
  EXPECT_EQ(Bytes(b, b + 2), (Bytes{0x12, 0x34}));
  VE_pack_uint32(0x01020304u, b);
  EXPECT_EQ(Bytes(b, b + 4), (Bytes{1, 2, 3, 4}));
  VE_pack_uint64(0x0102030405060708ull, b);
  EXPECT_EQ(Bytes(b, b + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  // An odd address works as well as an aligned one.
  VE_pack_uint32(0xA1B2C3D4u, b + 1);
  EXPECT_EQ(Bytes(b + 1, b + 5), (Bytes{0xA1, 0xB2, 0xC3, 0xD4}));
  EXPECT_EQ(VE_unpack_uint32(b + 1), 0xA1B2C3D4u);
}

TEST(Serialisation, VariableWidthWriterDropsHighBytes) {
  unsigned char b[12];
  std::memset(b, 0xEE, sizeof b);
  VE_pack_uint(0x0102030405ull, 3, b);
  EXPECT_EQ(Bytes(b, b + 4), (Bytes{3, 4, 5, 0xEE}));

  std::memset(b, 0xEE, sizeof b);
  VE_pack_uint(0x0102030405ull, 0, b);
  EXPECT_EQ(b[0], 0xEE);

  // Wider than 8: leading zeros, then the 8 value bytes.
  VE_pack_uint(0x0102030405060708ull, 10, b);
  EXPECT_EQ(Bytes(b, b + 11), (Bytes{0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0xEE}));
}

TEST(Serialisation, VariableWidthReader) {
  const unsigned char b[] = {0xFF, 0xFE, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(VE_unpack_uint(b, 0), 0u);
  EXPECT_EQ(VE_unpack_uint(b, 2), 65534u);
  EXPECT_EQ(VE_unpack_uint(b + 2, 3), 0x010203u);
  // Ten bytes: only the last eight remain.
  EXPECT_EQ(VE_unpack_uint(b, 10), 0x0102030405060708ull);
}

TEST(Serialisation, ReadersReturnWhatWritersStored) {
  unsigned char b[8];
  for (ve_uint16_t v : {0, 0x7FFF, 0x8000, 0xFFFF}) {
    VE_pack_uint16(v, b);
    EXPECT_EQ(VE_unpack_uint16(b), v);
    EXPECT_EQ(VE_unpack_uint(b, 2), v);
  }
  for (ve_uint32_t v : {0u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0x80FF0080u}) {
    VE_pack_uint32(v, b);
    EXPECT_EQ(VE_unpack_uint32(b), v);
  }
  for (ve_uint64_t v :
       {0ull, 0x8000000000000000ull, 0xFFFFFFFFFFFFFFFFull, 0x80FF00807F01FE02ull}) {
    VE_pack_uint64(v, b);
    EXPECT_EQ(VE_unpack_uint64(b), v);
    VE_pack_uint(v, 8, b);
    EXPECT_EQ(VE_unpack_uint(b, 8), v);
  }
  for (ve_uint8_t n = 1; n <= 8; ++n) {
    ve_uint64_t mask = n == 8 ? ~0ull : ((1ull << (8 * n)) - 1);
    VE_pack_uint(0xF1E2D3C4B5A69788ull, n, b);
    EXPECT_EQ(VE_unpack_uint(b, n), 0xF1E2D3C4B5A69788ull & mask) << int(n);
  }
}

}  // namespace
