// Event-type and caller-type look-ups and the interface-version check.
#include <ctype.h>
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <string>

#include "types.h"

namespace {

TEST(EventTypes, NamesMatchIgnoringCase) {
  EXPECT_EQ(QIVA_get_event_type("STARTED"), QIVA_STARTED_EVENT);
  EXPECT_EQ(QIVA_get_event_type("started"), QIVA_STARTED_EVENT);
  EXPECT_EQ(QIVA_get_event_type("StArTeD"), QIVA_STARTED_EVENT);
  EXPECT_EQ(QIVA_get_event_type("Started_Inbound"), QIVA_STARTED_INBOUND_EVENT);
  EXPECT_EQ(QIVA_get_event_type("rollback"), QIVA_ROLLBACK_EVENT);
  EXPECT_EQ(QIVA_get_event_type(""), QIVA_EVENT_TYPE_COUNT);
  EXPECT_EQ(QIVA_get_event_type(nullptr), QIVA_EVENT_TYPE_COUNT);
  EXPECT_EQ(QIVA_get_event_type("STARTED "), QIVA_EVENT_TYPE_COUNT);
}

TEST(EventTypes, EveryNameRoundTripsAndOutOfRangeIsNull) {
  const char *names[] = {"STARTED",
                         "HERE",
                         "INBOUND",
                         "OUTBOUND",
                         "FINISHED",
                         "STARTED_INBOUND",
                         "OUTBOUND_FINISHED",
                         "INBOUND_FINISHED",
                         "COMMIT",
                         "ROLLBACK"};
  for (int type = 0; type < 10; ++type) {
    auto t = static_cast<qiva_event_type_t>(type);
    EXPECT_STREQ(QIVA_get_event_name(t), names[type]);
    EXPECT_EQ(QIVA_get_event_type(names[type]), t);
  }
  EXPECT_EQ(QIVA_get_event_name(QIVA_EVENT_TYPE_COUNT), nullptr);
  EXPECT_EQ(QIVA_get_event_name(static_cast<qiva_event_type_t>(-1)), nullptr);
  EXPECT_EQ(qiva_event_type_names[10], nullptr);
}

TEST(CallerTypes, LookUpByNameIgnoringCase) {
  EXPECT_EQ(QIVA_get_caller_type("ANY"), QIVA_ANY_CALLER);
  EXPECT_EQ(QIVA_get_caller_type("any"), QIVA_ANY_CALLER);
  EXPECT_EQ(QIVA_get_caller_type("aNy"), QIVA_ANY_CALLER);
  EXPECT_EQ(QIVA_get_caller_type("USER"), QIVA_CALLER_TYPE_COUNT);
  EXPECT_EQ(QIVA_get_caller_type(nullptr), QIVA_CALLER_TYPE_COUNT);
  EXPECT_EQ(QIVA_get_caller_type(""), QIVA_CALLER_TYPE_COUNT);
}

TEST(CallerTypes, NamesByValueRange) {
  EXPECT_STREQ(QIVA_get_caller_name(QIVA_ANY_CALLER), "ANY");
  EXPECT_EQ(QIVA_get_caller_name(static_cast<qiva_caller_type_t>(24)), nullptr);
  EXPECT_EQ(QIVA_get_caller_name(static_cast<qiva_caller_type_t>(199)), nullptr);
  EXPECT_STREQ(QIVA_get_caller_name(QIVA_USER_CALLER), "USER");
  EXPECT_STREQ(QIVA_get_caller_name(static_cast<qiva_caller_type_t>(255)), "USER");
  EXPECT_STREQ(QIVA_get_caller_name(static_cast<qiva_caller_type_t>(300)), "USER");
  EXPECT_STREQ(QIVA_get_caller_name(static_cast<qiva_caller_type_t>(0xFFFFFFFFu)), "USER");
}

TEST(CallerTypes, ReservedKindsHaveDistinctShortUpperCaseNames) {
  std::set<std::string> seen;
  for (int type = 0; type <= QIVA_MAX_RESERVED_CALLER; ++type) {
    const char *name = QIVA_get_caller_name(static_cast<qiva_caller_type_t>(type));
    ASSERT_NE(name, nullptr) << type;
    size_t length = strlen(name);
    EXPECT_GE(length, 2u);
    EXPECT_LE(length, 10u);
    for (size_t i = 0; i < length; ++i)
      EXPECT_TRUE(isupper(static_cast<unsigned char>(name[i])) ||
                  isdigit(static_cast<unsigned char>(name[i])))
          << name;
    EXPECT_TRUE(seen.insert(name).second) << name;
    EXPECT_EQ(QIVA_get_caller_type(name), type);
  }
  EXPECT_EQ(qiva_caller_type_names[24], nullptr);
}

TEST(InterfaceVersion, OnlyZeroIsAccepted) {
  EXPECT_EQ(QIVA_check_version_(0), 0);
  EXPECT_EQ(QIVA_check_version_(1), QIVA_ERR_INVALID);
  EXPECT_EQ(QIVA_check_version_(~0ul), QIVA_ERR_INVALID);
}

}  // namespace
