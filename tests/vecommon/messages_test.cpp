// The message catalogue and result-code texts, checked against an independent copy of the
// catalogue so that a slip in the one list shows up here.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <string>

#include "types.h"

namespace {

struct Expected {
  int id;
  const char *prefix;
  const char *text;
  int code;
};

const Expected kCatalogue[] = {
    {0, "QIVAD00I ", "QIVAD00I %s", -1},
    {1, "QIVAD01I ", "Operation succeeded", 0},
    {2, "QIVAD02E ", "Praxen subsystem not created", 10},
    {3, "QIVAD03E ", "Invalid Configuration Token passed", 11},
    {4, "QIVAD04E ", "Container subsystem inactive", 12},
    {5, "QIVAD05E ", "Dispatcher unavailable", 13},
    {6, "QIVAD06E ", "No more storage available", 14},
    {7, "QIVAD07E ", "No more ASIDs in ASID pool", 15},
    {8, "QIVAD08E ", "No Couriers available", 16},
    {9, "QIVAD09E ", "System Error", 17},
    {10, "QIVAD10E ", "Invalid parameter(s)", 21},
    {11, "QIVAD11E ", "Not implemented", 22},
    {12, "QIVAD12E ", "Transport error", 23},
    {13, "QIVAD13E ", "Memory allocation failed", 24},
    {14, "QIVAD14E ", "OS Error", 25},
    {15, "QIVAD15E ", "Logic error - unexpected result occurred", 26},
    {16, "QIVAD16E ", "Operation would block", 27},
    {17, "QIVAD17E ", "Operation timed out", 28},
    {18, "QIVAD18E ", "Transport connection to '%s' failed", -1},
    {19, "QIVAD19E ", "Transport failed to listen on '%s'", -1},
    {20, "QIVAD20E ", "Address '%s' is not properly formatted: %s", -1},
    {21, "QIVAD21E ", "Internal error", 100},
    {22, "QIVAD22E ", "Invalid event block address", 101},
    {23, "QIVAD23E ", "Invalid event type", 102},
    {24, "QIVAD24E ", "Invalid timestamp (usec >= 1000000)", 103},
    {25, "QIVAD25E ", "Invalid transaction ID length (not positive)", 104},
    {26, "QIVAD26E ", "Invalid transaction ID flag", 105},
    {27, "QIVAD27E ", "Invalid transaction ID address", 106},
    {28, "QIVAD28E ", "Invalid horizontal ID length (not positive)", 110},
    {29, "QIVAD29E ", "Invalid horizontal ID flag", 111},
    {30, "QIVAD30E ", "Invalid horizontal caller type", 112},
    {31, "QIVAD31E ", "Invalid horizontal ID address", 113},
    {32, "QIVAD32E ", "Invalid vertical ID length (not posi tive)", 120},
    {33, "QIVAD33E ", "Invalid vertical ID flag", 121},
    {34, "QIVAD34E ", "Invalid vertical caller type", 122},
    {35, "QIVAD35E ", "Invalid vertical caller address", 123},
    {36, "QIVAD36E ", "Invalid Name string address in transaction list", 130},
    {37, "QIVAD37E ", "Invalid Value string address in transaction list", 131},
    {38, "QIVAD38E ", "Invalid Value string len in transaction list", 132},
    {39, "QIVAD39E ", "Invalid Name Value flag in transaction list", 133},
    {40, "QIVAD40E ", "Invalid Name/Value pair address in transaction list", 134},
    {41, "QIVAD41E ", "Invalid Name string address in horizontal stitch list", 140},
    {42, "QIVAD42E ", "Invalid Value string address in horizontal stitch list", 141},
    {43, "QIVAD43E ", "Invalid Value string len in horizontal stitch list", 142},
    {44, "QIVAD44E ", "Invalid Name Value flag in horizontal stitch list", 143},
    {45, "QIVAD45E ", "Invalid Name/Value pair address in horizontal stitch list", 144},
    {46, "QIVAD46E ", "Invalid Name string address in vertical stitch list", 150},
    {47, "QIVAD47E ", "Invalid Value string address in vertical stitch list", 151},
    {48, "QIVAD48E ", "Invalid Value string len in vertical stitch list", 152},
    {49, "QIVAD49E ", "Invalid Name Value flag in vertical stitch list", 153},
    {50, "QIVAD50E ", "Invalid Name/Value pair address in vertical stitch list", 154},
    {51, "QIVAD51E ", "Invalid Name string address in horizontal context list", 160},
    {52, "QIVAD52E ", "Invalid Value string address in horizontal context list", 161},
    {53, "QIVAD53E ", "Invalid Value string len in horizontal context list", 162},
    {54, "QIVAD54E ", "Invalid Name Value flag in horizontal context list", 163},
    {55, "QIVAD55E ", "Invalid Name/Value pair address in horizontal context list", 164},
    {56, "QIVAD56E ", "Invalid Name string address in vertical context list", 170},
    {57, "QIVAD57E ", "Invalid Value string address in vertical context list", 171},
    {58, "QIVAD58E ", "Invalid Value string len in vertical context list", 172},
    {59, "QIVAD59E ", "Invalid Name Value flag in vertical context list", 173},
    {60, "QIVAD60E ", "Invalid Name/Value pair address in vertical context list", 174},
    {61, "QIVAD61E ", "VESKA is already initialised", -1},
    {62, "QIVAD62E ", "VESKA is not initialised", -1},
    {63, "QIVAD63I ", "Initiating connection to '%s'", -1},
    {64, "QIVAD64I ", "Connected to '%s'", -1},
    {65, "QIVAD65W ", "Lost connection to the server", -1},
    {66, "QIVAD66E ",
     "Transport address malformed: expected format 'transport:address', found '%s'", -1},
    {67, "QIVAD67E ", "Connection retry count exceeded", -1},
    {68, "QIVAD68W ", "Event queue full (size %hu) - dropping old event", -1}};

TEST(MessageCatalogue, EveryIdHasItsPrefixAndText) {
  ASSERT_EQ(sizeof kCatalogue / sizeof kCatalogue[0], 69u);
  for (const Expected &entry : kCatalogue) {
    auto id = static_cast<qiva_message_id_t>(entry.id);
    ASSERT_NE(QIVA_getmsg(id), nullptr) << entry.id;
    EXPECT_STREQ(QIVA_getmsg(id), entry.text) << entry.id;
    EXPECT_STREQ(QIVA_getmsg_prefix(id), entry.prefix) << entry.id;
    EXPECT_STREQ(QIVA_messages[entry.id], entry.text);
    EXPECT_STREQ(QIVA_message_prefixes[entry.id], entry.prefix);
  }
}

TEST(MessageCatalogue, EntryPastTheLastIsNull) {
  EXPECT_EQ(QIVA_getmsg(QIVA_MESSAGE_ID_COUNT), nullptr);
  EXPECT_EQ(QIVA_getmsg_prefix(QIVA_MESSAGE_ID_COUNT), nullptr);
  EXPECT_EQ(QIVA_messages[69], nullptr);
  EXPECT_EQ(QIVA_message_prefixes[69], nullptr);
  EXPECT_EQ(QIVA_getmsg(static_cast<qiva_message_id_t>(70)), nullptr);
  EXPECT_EQ(QIVA_getmsg_prefix(static_cast<qiva_message_id_t>(1000)), nullptr);
  EXPECT_STREQ(QIVA_getmsg(QIVA_MSG_DEBUG), "QIVAD00I %s");
  EXPECT_STREQ(QIVA_getmsg_prefix(QIVA_MSG_VESKA_QUEUE_EXCEEDED), "QIVAD68W ");
}

TEST(ResultCodes, EveryCodeHasItsMessageText) {
  std::set<int> codes;
  for (const Expected &entry : kCatalogue) {
    if (entry.code < 0) continue;
    codes.insert(entry.code);
    EXPECT_STREQ(QIVA_strerror(entry.code), entry.text) << entry.code;
  }
  EXPECT_EQ(codes.size(), 57u);
  for (int code = -5; code < 300; ++code)
    if (codes.count(code) == 0) {
      EXPECT_STREQ(QIVA_strerror(code), "<unknown>") << code;
    }
}

TEST(ResultCodes, NamedCodesMapAsTabled) {
  EXPECT_STREQ(QIVA_strerror(QIVA_SUCCESS), "Operation succeeded");
  EXPECT_STREQ(QIVA_strerror(18), "<unknown>");
  EXPECT_STREQ(QIVA_strerror(29), "<unknown>");
  EXPECT_STREQ(QIVA_strerror(-1), "<unknown>");
  EXPECT_STREQ(QIVA_strerror(QIVA_ERR_EVENT_INVALID_TDATA_PAIR),
               "Invalid Name/Value pair address in transaction list");
  EXPECT_STREQ(QIVA_strerror(QIVA_ERR_EVENT_INVALID_VLINK_LENGTH),
               "Invalid vertical ID length (not posi tive)");
  EXPECT_EQ(QIVA_ERR_EVENT_HSTITCH_BASE + QIVA_LIST_FAULT_FLAG,
            QIVA_ERR_EVENT_INVALID_HSTITCH_FLAG);
}

TEST(SystemError, TextOfTheThreadsErrnoIsTruncatedToFit) {
  char buffer[256];
  errno = ENOENT;
  EXPECT_EQ(QIVA_last_system_error(buffer, sizeof buffer), buffer);
  EXPECT_STREQ(buffer, strerror(ENOENT));
  EXPECT_EQ(errno, ENOENT);

  char small[8];
  memset(small, 'x', sizeof small);
  errno = ENOENT;
  QIVA_last_system_error(small, sizeof small);
  EXPECT_EQ(std::string(small), std::string(strerror(ENOENT)).substr(0, 7));

  char one[1] = {'x'};
  QIVA_last_system_error(one, 1);
  EXPECT_EQ(one[0], '\0');
  EXPECT_EQ(QIVA_last_system_error(nullptr, 10), nullptr);
}

}  // namespace
