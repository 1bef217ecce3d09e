// The 4-byte header: type, version, big-endian payload length, nothing validated.
#include "protocol/message_header.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes header(ve_message_type type, ve_uint16_t length, ve_uint8_t version) {
  Bytes b(4, 0xEE);
  EXPECT_EQ(VE_serialise_message_header(b.data(), type, length, version), 0);
  return b;
}

TEST(MessageHeader, KnownMessages) {
  EXPECT_EQ(header(VE_MESSAGE_EVENT, 12, VE_EVENT_VERSION), (Bytes{0x01, 0x00, 0x00, 0x0C}));
  EXPECT_EQ(header(VE_MESSAGE_HEARTBEAT, 6, VE_HEARTBEAT_VERSION), (Bytes{0x02, 0x01, 0x00, 0x06}));
  EXPECT_EQ(header(VE_MESSAGE_HEARTBEAT, 6, VE_STATISTICS_VERSION),
            (Bytes{0x02, 0x00, 0x00, 0x06}));
  EXPECT_EQ(header(VE_MESSAGE_REGISTER, 2, VE_REGISTER_VERSION), (Bytes{0x00, 0x00, 0x00, 0x02}));
}

TEST(MessageHeader, WritesAnyValueUnchanged) {
  EXPECT_EQ(header(static_cast<ve_message_type>(0x1FE), 0xFFFF, 0xAB),
            (Bytes{0xFE, 0xAB, 0xFF, 0xFF}));
  EXPECT_EQ(header(VE_MESSAGE_EVENT, 0x0100, 7), (Bytes{0x01, 0x07, 0x01, 0x00}));
}

}  // namespace
