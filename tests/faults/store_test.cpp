// The store under faults: the collector killed with SIGKILL while it writes, and a disk that
// fills under it and frees again. Both run a real veska-collector on loopback and look at its
// store file afterwards with SQLite's own checks.
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <thread>

#include "faults_util.h"
#include "support/loopback.h"
#include "tests/collector/store/store_fixture.h"

namespace veska_test {
namespace {

// Sends register, then events of transactions of five, over one raw connection until count
// events are sent, stop is set or the collector goes away. Returns the events sent.
class RawSender {
 public:
  bool connect(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    struct timeval limit = {30, 0};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (::connect(fd_, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0) {
      return false;
    }
    const Bytes reg = {0, 0, 0, 2, 0, 0};
    return send_all(reg);
  }
  ~RawSender() {
    if (fd_ >= 0) close(fd_);
  }
  uint64_t send_events(const std::string &prefix, uint64_t count, size_t padding,
                       const std::atomic<bool> *stop = nullptr) {
    const int64_t t = StoreTest::now_us();
    Bytes chunk;
    uint64_t sent = 0;
    for (uint64_t i = 0; i < count && (stop == nullptr || !stop->load()); ++i) {
      StoredEvent event{i % 5 == 4 ? QIVA_FINISHED_EVENT : QIVA_HERE_EVENT,
                        prefix + std::to_string(i / 5), t + static_cast<int64_t>(i)};
      event.data = {{"pad", Bytes(padding, static_cast<uint8_t>('a' + i % 26))}};
      const Bytes message = event_message(event);
      chunk.insert(chunk.end(), message.begin(), message.end());
      if ((i + 1) % 100 == 0 || i + 1 == count) {
        if (!send_all(chunk)) return sent;
        sent = i + 1;
        chunk.clear();
      }
    }
    return sent;
  }

 private:
  bool send_all(const Bytes &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  int fd_ = -1;
};

int64_t query_int(const std::string &path, const char *sql) {
  veska::store::Database db;
  veska::store::Statement statement;
  std::string error;
  if (!db.open(path, true, &error) || !statement.prepare(db, sql, &error) ||
      statement.step() != SQLITE_ROW) {
    return -1;
  }
  return statement.column_int(0);
}

std::string integrity(const std::string &path) {
  veska::store::Database db;
  veska::store::Statement statement;
  std::string error;
  if (!db.open(path, false, &error) || !statement.prepare(db, "PRAGMA integrity_check", &error) ||
      statement.step() != SQLITE_ROW) {
    return "cannot check: " + error;
  }
  return statement.column_bytes(0);
}

bool wait_for_rows(const std::string &path, int64_t rows, double timeout_s) {
  for (const double end = now_s() + timeout_s; now_s() < end; usleep(20000)) {
    if (query_int(path, "SELECT count(*) FROM events") >= rows) return true;
  }
  return false;
}

TEST(StoreFaults, KillDuringIngestLosesAtMostTheQueueAndReopens) {
  TempDir folder("veska-store-kill");
  const std::string store = folder.file("store.sqlite");
  CollectorProcess collector;
  ASSERT_TRUE(collector.start({"--store", store, "--quiet"})) << collector.error();
  RawSender sender;
  ASSERT_TRUE(sender.connect(collector.port()));
  std::atomic<bool> stop{false};
  uint64_t sent = 0;
  std::thread sending([&] { sent = sender.send_events("K", 2000000, 100, &stop); });
  const bool some_written = wait_for_rows(store, 50000, 120);
  kill(collector.pid(), SIGKILL);
  stop = true;
  sending.join();
  EXPECT_EQ(128 + SIGKILL, collector.stop());
  ASSERT_TRUE(some_written);

  EXPECT_EQ("ok", integrity(store));
  const int64_t stored = query_int(store, "SELECT count(*) FROM events");
  // Batches are whole: every transaction's counts agree with the events it holds.
  EXPECT_EQ(stored, query_int(store, "SELECT sum(events) FROM transactions"));
  EXPECT_LE(stored, static_cast<int64_t>(sent));
  printf(
      "faults: store kill -9: %lld events stored, %llu sent by the kill (the rest were in "
      "the socket buffers, the writer's queue or the batch in flight)\n",
      static_cast<long long>(stored), static_cast<unsigned long long>(sent));

  CollectorProcess again;
  ASSERT_TRUE(again.start({"--store", store, "--quiet", "--summary"})) << again.error();
  RawSender more;
  ASSERT_TRUE(more.connect(again.port()));
  EXPECT_EQ(10u, more.send_events("After", 10, 10));
  EXPECT_TRUE(wait_for_rows(store, stored + 10, 60));
  EXPECT_EQ(0, again.stop());
  EXPECT_EQ(stored + 10, query_int(store, "SELECT count(*) FROM events"));
}

TEST(StoreFaults, FullDiskIsCountedLoggedOnceAndWritingResumes) {
  TempDir folder("veska-store-full");
  const std::string store = folder.file("store.sqlite");
  // The collector inherits the file-size limit and the ignored SIGXFSZ: its writes beyond the
  // limit fail with EFBIG instead of killing it.
  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit small = saved;
  small.rlim_cur = 1 << 20;
  void (*saved_handler)(int) = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  CollectorProcess collector;
  const bool started = collector.start({"--store", store, "--summary"});
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, saved_handler);
  ASSERT_TRUE(started) << collector.error();

  // Large values fill the store (event, pair and log copies) several times faster than the
  // JSON lines, which stay under the limit.
  RawSender sender;
  ASSERT_TRUE(sender.connect(collector.port()));
  // In rounds, so that several batches fail, each after the one before was logged.
  for (int round = 1; round <= 3; ++round) {
    ASSERT_EQ(50u, sender.send_events("Full" + std::to_string(round) + "-", 50, 4000));
    ASSERT_TRUE(collector.wait_for("event", 50 * round, 60));
  }
  for (const double end = now_s() + 60; now_s() < end; usleep(20000)) {
    if (collector.stderr_text().find("cannot write") != std::string::npos) break;
  }
  const std::string log = collector.stderr_text();
  const size_t first = log.find("store: cannot write");
  ASSERT_NE(std::string::npos, first) << log;
  EXPECT_EQ(std::string::npos, log.find("store: cannot write", first + 1)) << log;

  struct rlimit unlimited = saved;
  unlimited.rlim_cur = saved.rlim_max;
  ASSERT_EQ(0, prlimit(collector.pid(), RLIMIT_FSIZE, &unlimited, nullptr));
  const int64_t before = query_int(store, "SELECT count(*) FROM events");
  ASSERT_EQ(20u, sender.send_events("Later", 20, 10));
  EXPECT_TRUE(collector.wait_for("event", 170, 60));
  EXPECT_TRUE(wait_for_rows(store, before + 20, 60));
  // Writes that failed while the disk was full make the exit status say so.
  EXPECT_EQ(3, collector.stop());

  const std::string text = collector.stderr_text();
  const size_t last_line = text.rfind('\n', text.size() - 2);
  const nlohmann::json summary =
      nlohmann::json::parse(text.substr(last_line == std::string::npos ? 0 : last_line + 1));
  const int64_t written = summary["store"]["written"], failed = summary["store"]["failed"];
  EXPECT_GT(failed, 0);
  EXPECT_NE(std::string::npos, text.find("store: writing again")) << text;
  // Every message reached the store or was counted failed: 170 events and the register.
  EXPECT_EQ(171, written + failed);
  EXPECT_EQ("ok", integrity(store));
  printf("faults: store full disk: %lld messages written, %lld counted failed\n",
         static_cast<long long>(written), static_cast<long long>(failed));
}

}  // namespace
}  // namespace veska_test
