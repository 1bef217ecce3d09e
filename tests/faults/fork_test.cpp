// Processes that fork while the library runs: the child's copies of active configurations
// have no dispatcher, yet tracking, flush and shutdown must end promptly there, and new
// configurations must work; tokens drawn across processes stay unique.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "faults/faults_util.h"
#include "private_api.h"

namespace veska_test {
namespace {

qiva_config_t make_config(const char *server, ve_uint16_t queue_size) {
  qiva_config_t config;
  memset(&config, 0, sizeof config);
  config.server = server;
  config.connect_timeout = 5000;
  config.connect_retry_interval = 200;
  config.queue_size = queue_size;
  return config;
}

// What a child does with the configuration it inherited and with one of its own. Returns 0,
// or the number of the first step that failed.
int child_steps(qiva_config_t *inherited, const char *server, int stream) {
  NumberedEvent event;
  for (int i = 0; i < 300; ++i) {  // six times the queue: the oldest are dropped
    if (event.track(inherited, 900, i) != 0) return 1;
  }
  qiva_time_t wait = {5, 0};
  if (QIVA_flush(inherited, &wait) != QIVA_ERR_LOGIC) return 2;
  if (QIVA_flush(inherited, nullptr) != QIVA_ERR_LOGIC) return 3;
  if (QIVA_shutdown(inherited) != 0 || inherited->handle != nullptr) return 4;
  qiva_config_t own = make_config(server, 100);
  if (QIVA_init(&own) != 0) return 5;
  if (event.track(&own, stream, 0) != 0) return 6;
  qiva_time_t generous = {30, 0};
  if (QIVA_flush(&own, &generous) != 0) return 7;
  if (QIVA_shutdown(&own) != 0) return 8;
  // The inherited record can be started again in the child as a configuration of its own.
  if (QIVA_init(inherited) != 0 || QIVA_shutdown(inherited) != 0) return 9;
  return 0;
}

}  // namespace

// Children forked while two threads track and the dispatcher writes: in each child every step
// ends (bounded by a 60 s watchdog per child) and the parent goes on sending.
TEST(ForkFaults, ChildrenTrackFlushShutDownAndStartTheirOwn) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start()) << collector.error();
  qiva_config_t config = make_config(collector.server_c_str(), 50);
  ASSERT_EQ(0, QIVA_init(&config));
  NumberedEvent first;
  ASSERT_EQ(0, first.track(&config, 0, 0));
  qiva_time_t generous = {60, 0};
  ASSERT_EQ(0, QIVA_flush(&config, &generous));

  std::atomic<bool> stop(false);
  std::atomic<int> tracked(0);
  std::atomic<int> started(0);
  std::vector<std::thread> trackers;
  for (int t = 1; t <= 2; ++t) {
    trackers.emplace_back([&, t] {
      NumberedEvent event;
      started.fetch_add(1);
      for (int n = 0; n < 50000000 && !stop.load(); ++n) {
        if (event.track(&config, t, n) == 0) tracked.fetch_add(1);
        if (n % 16 == 0) usleep(500);
      }
    });
  }
  // A thread still starting up allocates inside the runtime; a child forked then could
  // inherit that allocator's lock held (the sanitizer runtimes do not guard fork against it).
  for (int i = 0; i < 30000 && started.load() < 2; ++i) usleep(1000);
  ASSERT_EQ(2, started.load());
  const int kChildren = 12;
  double slowest = 0;
  for (int k = 0; k < kChildren; ++k) {
    double start = now_s();
    int status =
        run_child([&] { return child_steps(&config, collector.server_c_str(), 100 + k); }, 60);
    slowest = std::max(slowest, now_s() - start);
    EXPECT_EQ(0, status) << "child " << k << " failed at step " << status;
  }
  stop = true;
  for (std::thread &t : trackers) t.join();

  // The parent is unaffected: its last event arrives after a flush that succeeds.
  ASSERT_EQ(0, first.track(&config, 0, 1));
  EXPECT_EQ(0, QIVA_flush(&config, &generous));
  std::set<int> child_streams;
  bool parent_last = false;
  ASSERT_TRUE(collector.wait_until(
      [&](const veska_test::CollectorRecords &records) {
        child_streams.clear();
        parent_last = false;
        for (const auto &record : records) {
          int stream = 0, number = 0;
          if (!first.check(record, &stream, &number)) continue;
          if (stream >= 100) child_streams.insert(stream);
          if (stream == 0 && number == 1) parent_last = true;
          EXPECT_NE(900, stream) << "an event tracked on the child's inherited copy was sent";
        }
        return parent_last && static_cast<int>(child_streams.size()) == kChildren;
      },
      60));
  EXPECT_EQ(0, QIVA_shutdown(&config));
  EXPECT_TRUE(collector.records("protocol_error").empty());
  printf(
      "faults: fork: %d children (parent tracking on 2 threads, %d events), slowest child "
      "%.2f s, inherited flush 26, child configurations delivered %zu/%d, parent delivered "
      "after forks: %s\n",
      kChildren, tracked.load(), slowest, child_streams.size(), kChildren,
      parent_last ? "yes" : "no");
}

// Tokens drawn by 4 processes with 4 threads each, while a fifth thread in every process
// starts and stops a second configuration on the same token file: no value twice.
TEST(ForkFaults, TokensOfFourProcessesWhileConfigurationsStartAndStop) {
  char pattern[] = "/tmp/veska_fault_tokens_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string dir = pattern;
  const std::string token_path = dir + "/token";
  FILE *token_file = fopen(token_path.c_str(), "w");
  ASSERT_NE(nullptr, token_file);
  fputs("7\n", token_file);
  fclose(token_file);
  // Nothing listens there, and nothing is tracked, so no connection is ever attempted.
  const std::string server = "tcp:127.0.0.1:9";

  const int kProcesses = 4, kThreads = 4, kPerThread = 2000;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      qiva_config_t config = make_config(server.c_str(), 10);
      config.token_filename = token_path.c_str();
      if (QIVA_init(&config) != 0) _exit(2);
      std::vector<std::vector<uint32_t>> drawn(kThreads + 1);
      std::atomic<int> drawing(kThreads);
      std::atomic<int> failures(0);
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          for (int i = 0; i < kPerThread; ++i) {
            qiva_int32_t token = 0;
            if (QIVA_token(&config, &token) != 0) failures.fetch_add(1);
            drawn[t].push_back(static_cast<uint32_t>(token));
          }
          drawing.fetch_sub(1);
        });
      }
      threads.emplace_back([&] {
        for (int cycle = 0; cycle < 1000 && drawing.load() > 0; ++cycle) {
          qiva_config_t other = make_config(server.c_str(), 10);
          other.token_filename = token_path.c_str();
          if (QIVA_init(&other) != 0) failures.fetch_add(1);
          for (int i = 0; i < 50; ++i) {
            qiva_int32_t token = 0;
            if (QIVA_token(&other, &token) != 0) failures.fetch_add(1);
            drawn[kThreads].push_back(static_cast<uint32_t>(token));
          }
          if (QIVA_shutdown(&other) != 0) failures.fetch_add(1);
        }
      });
      for (std::thread &t : threads) t.join();
      QIVA_shutdown(&config);
      FILE *out = fopen((dir + "/drawn." + std::to_string(p)).c_str(), "wb");
      if (out == nullptr) _exit(3);
      for (const auto &list : drawn) {
        if (!list.empty()) fwrite(list.data(), sizeof(uint32_t), list.size(), out);
      }
      fclose(out);
      _exit(failures.load() == 0 ? 0 : 4);
    }
    children.push_back(pid);
  }
  double deadline = now_s() + 120;
  for (pid_t pid : children) {
    int status = -1;
    while (waitpid(pid, &status, WNOHANG) == 0 && now_s() < deadline) usleep(20000);
    if (now_s() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  std::vector<uint32_t> all;
  for (int p = 0; p < kProcesses; ++p) {
    const std::string path = dir + "/drawn." + std::to_string(p);
    FILE *in = fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, in);
    uint32_t value;
    while (fread(&value, sizeof value, 1, in) == 1) all.push_back(value);
    fclose(in);
    remove(path.c_str());
  }
  remove(token_path.c_str());
  remove((token_path + ".ctr").c_str());
  rmdir(dir.c_str());
  std::set<uint32_t> distinct(all.begin(), all.end());
  const long from_restarts = static_cast<long>(all.size()) - kProcesses * kThreads * kPerThread;
  printf(
      "faults: tokens: %d processes x %d threads: %zu tokens (%ld from restarting "
      "configurations), %zu duplicates\n",
      kProcesses, kThreads, all.size(), from_restarts, all.size() - distinct.size());
  EXPECT_GE(all.size(), static_cast<size_t>(kProcesses * kThreads * kPerThread));
  EXPECT_EQ(all.size(), distinct.size());
}

}  // namespace veska_test
