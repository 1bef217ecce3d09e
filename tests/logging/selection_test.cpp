// The logger selection from the environment, the internal debug channel and the build
// information dump. Every case runs the helper program in a process of its own.
#include <gtest/gtest.h>

#include <regex>

#include "logging_test_util.h"

namespace veska_test {
namespace {

const char *const kCaptions[] = {"build date",
                                 "build time",
                                 "generated filename",
                                 "environment filename",
                                 "target directory qualifier",
                                 "host directory qualifier",
                                 "user name",
                                 "host release",
                                 "host version",
                                 "host type",
                                 "machine name",
                                 "host machine",
                                 "host environment code",
                                 "target environment code",
                                 "build sequence number",
                                 "component code",
                                 "build serial number",
                                 "driver name"};

const std::string kBanner = "QIVAD00I Build information ------------------------------------";
const std::string kFooter = "QIVAD00I ------------------------------------------------------";

// The helper's "work" step as the console logger writes it.
const std::vector<std::string> kWorkLines = {
    "QIVAD00I detail 42", "QIVAD18E Transport connection to 'tcp:127.0.0.1:1' failed",
    "plain text"};

// Checks the console output: the dump (banner, the 18 captioned values, footer), then lines.
void expect_dump_then(const std::vector<std::string> &lines,
                      const std::vector<std::string> &after) {
  ASSERT_EQ(lines.size(), 20u + after.size());
  EXPECT_EQ(lines[0], kBanner);
  for (size_t i = 0; i < 18; ++i) {
    std::string head = std::string("QIVAD00I     ") + kCaptions[i] + ": ";
    EXPECT_EQ(lines[i + 1].compare(0, head.size(), head), 0) << lines[i + 1];
    EXPECT_GT(lines[i + 1].size(), head.size()) << "empty value: " << lines[i + 1];
  }
  EXPECT_TRUE(
      std::regex_match(lines[1], std::regex("QIVAD00I     build date: \\d{4}-\\d\\d-\\d\\d")))
      << lines[1];
  EXPECT_EQ(lines[16], "QIVAD00I     component code: veska");
  EXPECT_EQ(lines[19], kFooter);
  for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(lines[20 + i], after[i]);
}

TEST(LoggerSelection, ConsoleFromGlobalScopeDumpsBuildInformationFirst) {
  ProcessResult run = run_helper({"work"}, {{"QIVA_LOGGER", ":stdout"}});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  expect_dump_then(logger_lines(run.out), kWorkLines);
  EXPECT_EQ(run.err, "");  // the debug channel is off
}

TEST(LoggerSelection, ShortNameAndFullPathFindTheLibrary) {
  for (const std::string &spec :
       {std::string("veska:stdout"), kLibraryDir + "/libveska.so:stdout"}) {
    ProcessResult run = run_helper({"work"}, {{"QIVA_LOGGER", spec}});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    expect_dump_then(logger_lines(run.out), kWorkLines);
  }
}

TEST(LoggerSelection, DisableWinsOverAnySpecification) {
  ProcessResult off = run_helper(
      {"work"},
      {{"QIVA_LOGGER", ":stdout"}, {"QIVA_LOGGER_DISABLE", "1yes"}, {"QIVA_LOGGER_DEBUG", "1"}});
  ASSERT_EQ(off.exit_code, 0);
  EXPECT_TRUE(logger_lines(off.out).empty());
  EXPECT_EQ(debug_reports(off.err), std::vector<std::string>{"Logging disabled"});

  ProcessResult on =
      run_helper({"work"}, {{"QIVA_LOGGER", ":stdout"}, {"QIVA_LOGGER_DISABLE", "0"}});
  EXPECT_EQ(logger_lines(on.out).size(), 23u);
}

TEST(LoggerSelection, DebugChannelReportsEachStepOnStandardError) {
  ProcessResult run =
      run_helper({"work"}, {{"QIVA_LOGGER", ":stdout"}, {"QIVA_LOGGER_DEBUG", "1"}});
  ASSERT_EQ(run.exit_code, 0);
  std::vector<std::string> expected = {"Logging enabled", "QIVA_LOGGER set to ':stdout'",
                                       "Attempting to load logger \"stdout\" from: (process)",
                                       "init_module returned 0"};
  EXPECT_EQ(debug_reports(run.err), expected);

  // Any first character but '1' leaves the channel off.
  ProcessResult quiet =
      run_helper({"work"}, {{"QIVA_LOGGER", ":stdout"}, {"QIVA_LOGGER_DEBUG", "yes"}});
  EXPECT_EQ(quiet.err, "");
}

TEST(LoggerSelection, UnloadableSpecificationFallsBackToTheEmbeddedLogger) {
  TempDir dir;
  std::string trace = dir.file("trace");
  ProcessResult run = run_helper({"work"}, {{"QIVA_LOGGER", "nosuchlogger:stdout"},
                                            {"QIVA_LOGGER_DEBUG", "1"},
                                            {"ZELM_TRACE_FILE", trace}});
  ASSERT_EQ(run.exit_code, 0);
  std::vector<std::string> reports = debug_reports(run.err);
  ASSERT_EQ(reports.size(), 7u) << run.err;
  EXPECT_EQ(reports[1], "QIVA_LOGGER set to 'nosuchlogger:stdout'");
  EXPECT_EQ(reports[2], "Attempting to load logger \"stdout\" from: nosuchlogger");
  EXPECT_NE(reports[3].find("libnosuchlogger.so"), std::string::npos) << reports[3];
  EXPECT_EQ(reports[4], "Loading embedded logger");
  EXPECT_EQ(reports[5], "Attempting to load logger \"(default)\" from: (process)");
  EXPECT_EQ(reports[6], "init_module returned 0");
  // Nothing on the console; the host tracing logger got the lines.
  EXPECT_TRUE(logger_lines(run.out).empty());
  std::vector<std::string> traced = split_lines(read_file(trace));
  EXPECT_EQ(count_containing(traced, "helper_work"), 5u);
}

TEST(LoggerSelection, SpecificationOf512CharactersIsTooLong) {
  // "<lib>/////.../libveska.so:stdout": extra slashes change the length, not the file.
  auto spec_of_length = [](size_t length) {
    std::string tail = "/libveska.so:stdout";
    return kLibraryDir + std::string(length - kLibraryDir.size() - tail.size(), '/') + tail;
  };
  std::string accepted = spec_of_length(511);
  ProcessResult ok = run_helper({"work"}, {{"QIVA_LOGGER", accepted}, {"QIVA_LOGGER_DEBUG", "1"}});
  EXPECT_TRUE(contains(debug_reports(ok.err), "QIVA_LOGGER set to '" + accepted + "'"));
  EXPECT_EQ(logger_lines(ok.out).size(), 23u);

  ProcessResult refused = run_helper({"work"}, {{"QIVA_LOGGER", spec_of_length(512)},
                                                {"QIVA_LOGGER_DEBUG", "1"},
                                                {"ZELM_TRACE_FILE", "/dev/null"}});
  std::vector<std::string> reports = debug_reports(refused.err);
  ASSERT_GE(reports.size(), 3u);
  EXPECT_EQ(reports[1], "Module name is too long (512 >= 512)");
  EXPECT_EQ(reports[2], "Loading embedded logger");
  EXPECT_TRUE(logger_lines(refused.out).empty());
}

TEST(LoggerSelection, ObjectWithoutTableOrOperationsIsRefused) {
  // libzelm.so has neither a logger table nor the single operations.
  ProcessResult run = run_helper({"work"}, {{"QIVA_LOGGER", kLibraryDir + "/libzelm.so:stdout"},
                                            {"QIVA_LOGGER_DEBUG", "1"},
                                            {"ZELM_TRACE_FILE", "/dev/null"}});
  std::vector<std::string> reports = debug_reports(run.err);
  ASSERT_GE(reports.size(), 7u) << run.err;
  EXPECT_EQ(reports[3], "Loading from symbols");
  EXPECT_EQ(reports[4], "Failed to load symbol QIVA_logger_init_module");
  EXPECT_EQ(reports[5], "Could not find module symbol");
  EXPECT_EQ(reports[6], "Loading embedded logger");
}

TEST(LoggerSelection, SingleOperationSymbolsMakeAModule) {
  // No "QIVA_nosuch_logger_module" anywhere: the plain operation names of the host tracing
  // logger, in the global scope, are assembled into a table.
  TempDir dir;
  std::string trace = dir.file("trace");
  ProcessResult run = run_helper(
      {"work"},
      {{"QIVA_LOGGER", ":nosuch"}, {"QIVA_LOGGER_DEBUG", "1"}, {"ZELM_TRACE_FILE", trace}});
  std::vector<std::string> reports = debug_reports(run.err);
  std::vector<std::string> expected = {"Logging enabled", "QIVA_LOGGER set to ':nosuch'",
                                       "Attempting to load logger \"nosuch\" from: (process)",
                                       "Loading from symbols", "init_module returned 0"};
  EXPECT_EQ(reports, expected);
  EXPECT_EQ(count_containing(split_lines(read_file(trace)), "helper_work"), 5u);
}

TEST(LoggerSelection, SetLoggerFirstMeansNoSelectionAndNoDump) {
  ProcessResult run = run_helper({"set", ":stdout", "work", "set", ":stdout", "set", "-"},
                                 {{"QIVA_LOGGER_DEBUG", "1"}});
  ASSERT_EQ(run.exit_code, 0);
  std::vector<std::string> out = split_lines(run.out);
  std::vector<std::string> expected = {"helper: set_logger 0"};
  expected.insert(expected.end(), kWorkLines.begin(), kWorkLines.end());
  expected.insert(expected.end(),
                  {"helper: work 43", "helper: set_logger 21", "helper: set_logger 21"});
  EXPECT_EQ(out, expected);
  std::vector<std::string> reports = debug_reports(run.err);
  EXPECT_FALSE(contains(reports, "Logging enabled"));  // the selection never ran
  EXPECT_EQ(std::count(reports.begin(), reports.end(), "Logger is already set"), 2);
}

TEST(LoggerSelection, SetLoggerReportsLoadFailures) {
  ProcessResult run = run_helper({"set", "/nonexistent/libx.so:stdout", "set",
                                  kLibraryDir + "/libzelm.so", "set", ":stdout", "work"},
                                 {});
  std::vector<std::string> out = split_lines(run.out);
  ASSERT_GE(out.size(), 3u);
  EXPECT_EQ(out[0], "helper: set_logger 21");
  EXPECT_EQ(out[1], "helper: set_logger 21");
  EXPECT_EQ(out[2], "helper: set_logger 0");
  EXPECT_EQ(logger_lines(run.out), kWorkLines);
}

TEST(LoggerSelection, ThreadsRacingForTheFirstCallSelectOnceAndNeverInterleave) {
  ProcessResult run =
      run_helper({"threads", "8"}, {{"QIVA_LOGGER", ":stdout"}, {"QIVA_LOGGER_DEBUG", "1"}});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  std::vector<std::string> lines = logger_lines(run.out);
  ASSERT_EQ(lines.size(), 20u + 8 * 50 * 3);
  EXPECT_EQ(lines[0], kBanner);  // the dump comes before any line of the threads
  EXPECT_EQ(lines[19], kFooter);
  size_t plain = 0;
  size_t connect = 0;
  for (size_t i = 20; i < lines.size(); ++i) {
    plain += lines[i] == "plain text";
    connect += lines[i] == kWorkLines[1];
    EXPECT_TRUE(lines[i].compare(0, 16, "QIVAD00I detail ") == 0 || lines[i] == "plain text" ||
                lines[i] == kWorkLines[1])
        << lines[i];
  }
  EXPECT_EQ(plain, 400u);
  EXPECT_EQ(connect, 400u);
  EXPECT_EQ(count_containing(debug_reports(run.err), "init_module returned 0"), 1u);
}

TEST(BuildInformation, ValueCountIsCappedAt18) {
  ProcessResult twenty = run_helper(
      {"work", "kemb"}, {{"QIVA_LOGGER", ":stdout"}, {"HELPER_KEMB_COUNT", "20"}}, kKembHelper);
  std::vector<std::string> lines = logger_lines(twenty.out);
  ASSERT_EQ(lines.size(), 23u);
  EXPECT_EQ(lines[1], "QIVAD00I     build date: value-0");
  EXPECT_EQ(lines[18], "QIVAD00I     driver name: value-17");
  EXPECT_TRUE(contains(split_lines(twenty.out), "helper: kemb 18"));

  ProcessResult none =
      run_helper({"work"}, {{"QIVA_LOGGER", ":stdout"}, {"HELPER_KEMB_COUNT", "0"}}, kKembHelper);
  lines = logger_lines(none.out);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], kBanner);
  EXPECT_EQ(lines[1], kFooter);

  ProcessResult missing = run_helper(
      {"work"}, {{"QIVA_LOGGER", ":stdout"}, {"HELPER_KEMB_COUNT", "none"}}, kKembHelper);
  lines = logger_lines(missing.out);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[1], "QIVAD00I     (could not find build info)");
}

TEST(LoggingCalls, NullTextsAndFormatsPrintNothing) {
  ProcessResult run = run_helper({"set", ":stdout", "nullmsg"}, {});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, "helper: set_logger 0\n");
}

}  // namespace
}  // namespace veska_test
