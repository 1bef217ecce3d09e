// Selecting the Java logging bridge in a process without a virtual machine: the bridge
// refuses with 21 and the logging front end falls back to its embedded default. One test in
// its own executable, because the environment selection runs once per process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "lib/vecommon/ve_logging.h"
#include "src/veska4j/veska4j.h"

namespace {

qiva_file_log_t test_file = {__FILE__,     __DATE__, __TIME__, "veska", 0,
                             VE_ONCE_INIT, ~0u,      0,        nullptr};
qiva_function_log_t test_function = {
    &test_file, nullptr, "BridgeWithoutVm", __LINE__, 0, VE_ONCE_INIT, ~0u, 0, nullptr};

TEST(BridgeWithoutVirtualMachine, SelectionRefusedWith21AndTheDefaultTried) {
  ASSERT_EQ(VESKA4J_GetJavaVM(), nullptr);
  EXPECT_EQ(VESKA4J_logger_init_module(), QIVA_ERR_INVALID);
  setenv("QIVA_LOGGER", ":veska4j", 1);  // from the global scope: no loader search
  setenv("QIVA_LOGGER_DEBUG", "1", 1);
  setenv("ZELM_TRACE_FILE", "/dev/null", 1);
  unsetenv("QIVA_LOGGER_DISABLE");

  testing::internal::CaptureStderr();
  QIVA_logging(&test_function, __LINE__, QIVA_LOG_ERROR);  // the first call selects
  std::string report = testing::internal::GetCapturedStderr();

  size_t attempt = report.find("Attempting to load logger \"veska4j\"");
  size_t refused = report.find("init_module returned 21");
  size_t fallback = report.find("Loading embedded logger");
  ASSERT_NE(attempt, std::string::npos) << report;
  ASSERT_NE(refused, std::string::npos) << report;
  ASSERT_NE(fallback, std::string::npos) << report;
  EXPECT_LT(attempt, refused);
  EXPECT_LT(refused, fallback);
  // The refusal left no bridge behind: selecting it again is refused as well, either by the
  // bridge or because the fallback logger is active now.
  EXPECT_EQ(QIVA_log_set_logger(":veska4j"), QIVA_ERR_INVALID);
}

}  // namespace
