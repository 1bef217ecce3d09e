// The console logger and the host tracing logger, driven end to end through the helper
// program; the host tracing logger writes through the libzelm.so stand-in.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <regex>

#include "logging_test_util.h"

namespace veska_test {
namespace {

std::string numbered_line(int number, int width) {
  char head[16];
  snprintf(head, sizeof head, "line %05d ", number);
  std::string line(static_cast<size_t>(width), 'x');
  line.replace(0, strlen(head), head);
  return line;
}

TEST(ConsoleLogger, ReachingTheLimitEmptiesTheFileBeforeTheNextLine) {
  TempDir dir;
  std::string log = dir.file("log");
  // 1024 lines of 1024 bytes reach the 1 MiB limit exactly; line 1025 starts a new file.
  ProcessResult run = run_helper({"set", ":stdout", "fill", "1026", "1023"},
                                 {{"QIVA_LOGFILE", log}, {"QIVA_LOGLIMIT", "1"}});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "helper: set_logger 0\n");
  EXPECT_EQ(read_file(log), numbered_line(1025, 1023) + "\n" + numbered_line(1026, 1023) + "\n");
}

TEST(ConsoleLogger, LimitsWithoutDigitsOrNotPositiveMeanNoLimit) {
  for (const char *limit : {"abc", "-1", "0", ""}) {
    TempDir dir;
    std::string log = dir.file("log");
    ProcessResult run = run_helper({"set", ":stdout", "fill", "1100", "1023"},
                                   {{"QIVA_LOGFILE", log}, {"QIVA_LOGLIMIT", limit}});
    ASSERT_EQ(run.exit_code, 0);
    struct stat info;
    ASSERT_EQ(stat(log.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 1100 * 1024) << "QIVA_LOGLIMIT=" << limit;
  }
}

TEST(ConsoleLogger, WritesToStandardOutputWithoutALogFile) {
  // The limit is ignored without a log file; entry and exit never appear.
  ProcessResult run =
      run_helper({"set", ":stdout", "fill", "2", "20", "work"}, {{"QIVA_LOGLIMIT", "1"}});
  std::vector<std::string> expected = {
      "line 00001 xxxxxxxxx", "line 00002 xxxxxxxxx", "QIVAD00I detail 42",
      "QIVAD18E Transport connection to 'tcp:127.0.0.1:1' failed", "plain text"};
  EXPECT_EQ(logger_lines(run.out), expected);
}

TEST(ConsoleLogger, UnopenableLogFileRefusesTheLogger) {
  ProcessResult run =
      run_helper({"set", ":stdout", "work"}, {{"QIVA_LOGFILE", "/nonexistent-dir/log"}});
  EXPECT_EQ(split_lines(run.out),
            (std::vector<std::string>{"helper: set_logger 21", "helper: work 43"}));
}

class HostTracingLoggerTest : public ::testing::Test {
 protected:
  // Runs the helper with QIVA_LOGGER unset, so that the embedded default is chosen, and
  // returns the stand-in's trace lines.
  std::vector<std::string> trace(const std::vector<std::string> &steps,
                                 const std::string &class_mask = "") {
    std::vector<std::pair<std::string, std::string>> env = {{"ZELM_TRACE_FILE", dir_.file("t")}};
    if (!class_mask.empty()) env.emplace_back("ZELM_CLASS_MASK", class_mask);
    last_ = run_helper(steps, env);
    EXPECT_EQ(last_.exit_code, 0) << last_.err;
    return split_lines(read_file(dir_.file("t")));
  }

  TempDir dir_;
  ProcessResult last_;
};

TEST_F(HostTracingLoggerTest, WritesEntryDetailsAndExitThroughTheHostLibrary) {
  std::vector<std::string> lines = trace({"work"});
  std::vector<std::string> work;
  for (const std::string &line : lines)
    if (line.find(" helper_work ") != std::string::npos) work.push_back(line);
  ASSERT_EQ(work.size(), 5u);
  EXPECT_TRUE(std::regex_match(work[0], std::regex("ZELM1 helpertest helper_work "
                                                   "logging_helper\\.cpp:\\d+ ENTRY")))
      << work[0];
  EXPECT_NE(work[1].find(" DETAIL QIVAD00I detail 42"), std::string::npos) << work[1];
  EXPECT_NE(work[2].find(" DETAIL QIVAD18E Transport connection to 'tcp:127.0.0.1:1' failed"),
            std::string::npos);
  EXPECT_NE(work[3].find(" DETAIL plain text"), std::string::npos);
  EXPECT_NE(work[4].find(" EXIT 43"), std::string::npos) << work[4];
  // The build information went through the host library too, under the dump's own record.
  EXPECT_EQ(count_containing(lines, "ZELM1 vecommon QIVA_log_buildinfo ve_logging.cpp"), 22u);
}

TEST_F(HostTracingLoggerTest, ExitIsReportedOnlyAfterAReportedEntry) {
  // Flow (0x40) is off for helper_quiet alone: its detail is written, its entry is not, and
  // so neither is its exit.
  std::vector<std::string> lines = trace({"quiet", "work"}, "ffffffff,helper_quiet=bf");
  std::vector<std::string> quiet;
  for (const std::string &line : lines)
    if (line.find(" helper_quiet ") != std::string::npos) quiet.push_back(line);
  ASSERT_EQ(quiet.size(), 1u);
  EXPECT_NE(quiet[0].find(" DETAIL QIVAD00I quiet detail"), std::string::npos);
  EXPECT_EQ(count_containing(lines, " helper_work "), 5u);
}

TEST_F(HostTracingLoggerTest, LevelsFollowTheClassMask) {
  // Level 0 needs 0x100; levels above 8 map to no bit and are always wanted.
  trace({"levels"}, "0");
  EXPECT_TRUE(contains(split_lines(last_.out), "helper: logging 0 0 0 0 0 0 0 0 0 1 1"));
  EXPECT_TRUE(contains(split_lines(last_.out), "helper: debugging 0 0 0 0 0 0 0 0 0 1 1"));
  trace({"levels"}, "100");
  EXPECT_TRUE(contains(split_lines(last_.out), "helper: logging 1 0 0 0 0 0 0 0 0 1 1"));
  trace({"levels"}, "81");  // detail and error
  EXPECT_TRUE(contains(split_lines(last_.out), "helper: logging 0 1 1 0 0 0 0 0 0 1 1"));
  trace({"levels"}, "3e");  // metrics, output, input, state, time
  EXPECT_TRUE(contains(split_lines(last_.out), "helper: logging 0 0 0 0 1 1 1 1 1 1 1"));
}

TEST_F(HostTracingLoggerTest, DumpNeedsTheAnyBit) {
  // Without 0x100 the dump's lines are not wanted; its entry and exit (flow) still are.
  std::vector<std::string> lines = trace({"work"}, "ff");
  EXPECT_EQ(count_containing(lines, "QIVA_log_buildinfo"), 2u);
  EXPECT_EQ(count_containing(lines, "Build information"), 0u);
  EXPECT_EQ(count_containing(lines, " helper_work "), 5u);
}

TEST_F(HostTracingLoggerTest, EventMaskZeroKeepsEntryAndExitOut) {
  std::vector<std::string> lines = trace({"masked", "time"});
  std::vector<std::string> masked;
  for (const std::string &line : lines)
    if (line.find(" helper_masked ") != std::string::npos) masked.push_back(line);
  ASSERT_EQ(masked.size(), 1u);
  EXPECT_NE(masked[0].find(" DETAIL QIVAD00I masked detail"), std::string::npos);
  EXPECT_EQ(count_containing(lines, " VE_time "), 0u);
  EXPECT_TRUE(contains(split_lines(last_.out), "helper: time ok"));
}

}  // namespace
}  // namespace veska_test
