// The variables that choose code to load or a file to write count as unset in a
// secure-execution process, where the environment comes from a less trusted caller.
#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "logging_test_util.h"
#include "private_api.h"

namespace veska_test {
namespace {

TEST(LoggerEnvironment, ReadsVariablesInAnOrdinaryProcess) {
  setenv("QIVA_LOGFILE", "/tmp/some-log", 1);
  EXPECT_STREQ(VE_logger_getenv("QIVA_LOGFILE"), "/tmp/some-log");
  unsetenv("QIVA_LOGFILE");
  EXPECT_EQ(VE_logger_getenv("QIVA_LOGFILE"), nullptr);
  EXPECT_EQ(VE_logger_getenv(nullptr), nullptr);
}

// A set-group-ID copy of the helper runs with AT_SECURE set. Making one needs the right to
// give a file a group we are not in (root); elsewhere the case is skipped.
TEST(LoggerEnvironment, SecureExecutionIgnoresLoggerAndLogFile) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a set-group-ID helper";
  struct group *other = getgrnam("nogroup");
  if (other == nullptr) GTEST_SKIP() << "no group 'nogroup'";
  TempDir dir;
  std::string copy = dir.file("secure_helper");
  std::string command = "cp '" + kHelper + "' '" + copy + "'";
  ASSERT_EQ(system(command.c_str()), 0);
  ASSERT_EQ(chown(copy.c_str(), 0, other->gr_gid), 0);
  ASSERT_EQ(chmod(copy.c_str(), 02755), 0);

  std::string log = dir.file("log");
  ProcessResult run = run_helper(
      {"getenv", "QIVA_LOGGER", "getenv", "QIVA_LOGFILE", "getenv", "QIVA_LOGLIMIT", "work"},
      {{"QIVA_LOGGER", ":stdout"},
       {"QIVA_LOGFILE", log},
       {"QIVA_LOGLIMIT", "1"},
       {"QIVA_LOGGER_DEBUG", "1"},
       {"ZELM_TRACE_FILE", "/dev/null"}},
      copy);
  if (run.exit_code == 127 || run.exit_code == 126) GTEST_SKIP() << "cannot run the copy";
  ASSERT_EQ(run.exit_code, 0) << run.err;
  std::vector<std::string> out = split_lines(run.out);
  std::vector<std::string> expected = {"helper: getenv (null)", "helper: getenv (null)",
                                       "helper: getenv (null)", "helper: work 43"};
  EXPECT_EQ(out, expected);
  // The selection went straight to the embedded default, and no log file was created.
  std::vector<std::string> reports = debug_reports(run.err);
  ASSERT_GE(reports.size(), 2u) << run.err;
  EXPECT_EQ(reports[1], "Loading embedded logger");
  EXPECT_NE(access(log.c_str(), F_OK), 0);

  // The same program without the set-group-ID bit sees the variables.
  ProcessResult plain = run_helper({"getenv", "QIVA_LOGGER"}, {{"QIVA_LOGGER", ":stdout"}});
  EXPECT_TRUE(contains(split_lines(plain.out), "helper: getenv :stdout"));
}

}  // namespace
}  // namespace veska_test
