// veska-load: percentiles from its histogram, the loopback-only rule, and its loss check over
// a real collector's output.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>

#include "bench/latency_histogram.h"
#include "support/collector_process.h"

namespace {

using veska_bench::LatencyHistogram;

// Runs veska-load with args; its exit status, standard output and error in *output.
int _run_load(const std::string &args, std::string *output) {
  std::string command = std::string(VESKA_LOAD_PATH) + " " + args + " 2>&1";
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n;
  output->clear();
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The value of a "name value" line of the tool's report, or -1.
long long _field(const std::string &output, const std::string &name) {
  std::string text = "\n" + output;
  size_t at = text.find("\n" + name + " ");
  if (at == std::string::npos) return -1;
  return atoll(text.c_str() + at + name.size() + 2);
}

TEST(LatencyHistogram, PercentilesStayWithinOneBucketAndMaxIsExact) {
  LatencyHistogram uniform;
  for (uint64_t ns = 1; ns <= 100000; ++ns) uniform.Add(ns);
  EXPECT_EQ(100000u, uniform.total());
  EXPECT_EQ(100000u, uniform.max());
  for (double q : {0.5, 0.99, 0.9999}) {
    double exact = q * 100000;
    EXPECT_GE(static_cast<double>(uniform.Quantile(q)), exact - 1) << q;
    EXPECT_LE(static_cast<double>(uniform.Quantile(q)), exact * 1.035) << q;
  }
  EXPECT_EQ(100000u, uniform.Quantile(1.0));

  // One preempted call among a million: the maximum shows it, p99.99 does not.
  LatencyHistogram spike;
  for (int i = 0; i < 1000000; ++i) spike.Add(200);
  spike.Add(5000000);
  EXPECT_LE(spike.Quantile(0.9999), 207u);
  EXPECT_GE(spike.Quantile(0.9999), 200u);
  EXPECT_EQ(5000000u, spike.max());
  // Calls over 10 us: exact but for the bucket that holds 10 us itself.
  EXPECT_LE(uniform.CountAbove(10000), 90000u);
  EXPECT_GE(uniform.CountAbove(10000), 90000u - 10000 / 32);
  EXPECT_EQ(1u, spike.CountAbove(10000));

  LatencyHistogram small;
  small.Add(7);
  small.Merge(spike);
  EXPECT_EQ(1000002u, small.total());
  EXPECT_EQ(7u, small.Quantile(0.0));
}

TEST(VeskaLoad, RefusesAddressesOutsideLoopback) {
  for (const char *server :
       {"tcp:10.1.2.3:5455", "tcp:[2001:db8::1]:5455", "tcp:0.0.0.0:5455", "null:x"}) {
    std::string output;
    EXPECT_EQ(2, _run_load(std::string("--seconds 0.1 --server ") + server, &output)) << server;
    EXPECT_NE(std::string::npos, output.find("refusing")) << output;
    EXPECT_EQ(std::string::npos, output.find("tracked")) << output;
  }
}

// The baseline run times copies into its own ring: nothing reaches the library's queue, and
// the report says which call it timed.
TEST(VeskaLoad, BaselineTimesRingCopiesInsteadOfTracking) {
  std::string output;
  ASSERT_EQ(0, _run_load("--stall --baseline --rate 20000 --seconds 0.2", &output)) << output;
  EXPECT_NE(std::string::npos, output.find("\ncalls ring_copy (baseline)\n")) << output;
  EXPECT_GT(_field(output, "tracked"), 0) << output;
  EXPECT_EQ(0, _field(output, "dropped")) << output;  // 4000 copies, 65536 slots
  ASSERT_EQ(0, _run_load("--stall --rate 20000 --seconds 0.2", &output)) << output;
  EXPECT_NE(std::string::npos, output.find("\ncalls QIVA_track\n")) << output;
}

TEST(VeskaLoad, NumberedEventsFromTwoThreadsAllArriveAndAGapIsFound) {
  veska_test::CollectorProcess collector;
  ASSERT_TRUE(collector.start()) << collector.error();
  std::string output;
  ASSERT_EQ(0, _run_load("--server " + collector.server() +
                             " --rate 4000 --threads 2 --seconds 0.5 --number --queue-size 65535",
                         &output))
      << output;
  // 1000 per thread unless a preempted thread was still behind its schedule at the end.
  long long tracked = _field(output, "tracked");
  EXPECT_GT(tracked, 1000) << output;
  EXPECT_LE(tracked, 2000) << output;
  EXPECT_EQ(0, _field(output, "dropped")) << output;
  EXPECT_GT(_field(output, "track_max_ns"), 0) << output;
  EXPECT_GE(_field(output, "track_p999_ns"), _field(output, "track_p99_ns")) << output;
  EXPECT_LE(_field(output, "track_p999_ns"), _field(output, "track_p9999_ns")) << output;
  EXPECT_GE(_field(output, "track_over_10us"), 0) << output;
  EXPECT_LE(_field(output, "track_over_10us"), tracked) << output;
  ASSERT_TRUE(collector.wait_for("event", static_cast<size_t>(tracked)));
  veska_test::CollectorRecords events = collector.records("event");
  EXPECT_EQ(0, collector.stop());

  char path[] = "/tmp/veska-load-test.XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  auto write_lines = [&](size_t skip) {
    std::ofstream out(path, std::ios::trunc);
    for (size_t i = 0; i < events.size(); ++i) {
      if (i != skip) out << events[i].dump() << "\n";
    }
  };
  write_lines(events.size());  // all of them
  EXPECT_EQ(0, _run_load(std::string("--verify ") + path, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("thread 0: events ")) << output;
  EXPECT_NE(std::string::npos, output.find("thread 1: events ")) << output;
  EXPECT_EQ(tracked, _field(output, "numbered_events")) << output;
  write_lines(events.size() / 2);  // one event lost in the middle
  EXPECT_EQ(1, _run_load(std::string("--verify ") + path, &output)) << output;
  EXPECT_NE(std::string::npos, output.find("missing 1")) << output;
  unlink(path);
}

}  // namespace
