// QIVA_track's argument and state checks, which need no collector.
#include <gtest/gtest.h>

#include <string>

#include "private_api.h"
#include "support/capture_logger.h"

namespace veska_test {
namespace {

bool logged_not_initialised() {
  for (const std::string &line : captured_lines_of("VE_track")) {
    if (line == "QIVAD62E VESKA is not initialised") return true;
  }
  return false;
}

int exit_result(const char *function) {
  for (const CapturedRecord &r : captured_records()) {
    if (r.function == function && r.kind == CaptureKind::kExit) return r.result;
  }
  return -1;
}

TEST(Track, NullArgumentsAreInvalidWithoutTheStateMessage) {
  const bool capturing = capture_logger_active();
  clear_captured();
  qiva_config_t config{};
  qiva_event_t event{};
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_track(&config, nullptr));
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_track(nullptr, &event));
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_track(nullptr, nullptr));
  if (!capturing) GTEST_SKIP() << "the logging front end cannot load a module yet";
  EXPECT_FALSE(logged_not_initialised());
  EXPECT_EQ(QIVA_ERR_INVALID, exit_result("VE_track"));
}

TEST(Track, NeverInitialisedConfigurationIsALogicError) {
  const bool capturing = capture_logger_active();
  clear_captured();
  qiva_config_t config{};
  qiva_event_t event{};
  event.type = QIVA_STARTED_EVENT;
  EXPECT_EQ(QIVA_ERR_LOGIC, QIVA_track(&config, &event));
  // A pre-built block is refused the same way, before its type word is touched.
  event.type = 0x80000014u;
  EXPECT_EQ(QIVA_ERR_LOGIC, QIVA_track(&config, &event));
  EXPECT_EQ(0x80000014u, event.type);
  if (!capturing) GTEST_SKIP() << "the logging front end cannot load a module yet";
  EXPECT_TRUE(logged_not_initialised());
  EXPECT_EQ(QIVA_ERR_LOGIC, exit_result("VE_track"));
}

}  // namespace
}  // namespace veska_test
