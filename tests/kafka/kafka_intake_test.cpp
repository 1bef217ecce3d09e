// veska-collector reading a topic back (--kafka-consume) from librdkafka's mock cluster: the
// records the forwarder wrote in the wire format reach the outputs with their clients' peers,
// other records are refused and counted, a store fed by a consumer killed at random points
// holds each event once, and a rebalance between two consumers neither loses nor repeats one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kafka/mock_kafka.h"
#include "support/client_events.h"
#include "support/collector_process.h"
#include "tools/collector/outputs/kafka_forwarder.h"

namespace veska_test {
namespace {

using nlohmann::json;
using veska::wire::MessageKind;

// Produces events first..first+count-1 (transaction ids "ev-NNNNNNN") in the wire format
// through the collector's own forwarder, as clients "10.0.0.N:4000" (N = event % clients);
// raw records (anything but a wire message) follow. True when every record was acknowledged.
bool _produce(const MockKafka &kafka, int first, int count, int clients = 3,
              const std::vector<std::string> &raw = {}) {
  veska::kafka::Options options;
  options.brokers = kafka.bootstraps();
  options.format = veska::kafka::Format::kWire;
  std::string error;
  std::unique_ptr<veska::kafka::Forwarder> forwarder =
      veska::kafka::Forwarder::create(options, &error);
  if (!forwarder) return false;
  char id[16];
  for (int n = first; n < first + count; ++n) {
    snprintf(id, sizeof id, "ev-%07d", n);
    std::vector<uint8_t> bytes = serialise_test_event(id);
    std::string peer = "10.0.0." + std::to_string(n % clients) + ":4000";
    forwarder->forward(MessageKind::kEvent, peer, reinterpret_cast<const uint8_t *>(id), 10,
                       bytes.data(), bytes.size());
    if (n % 1024 == 0) forwarder->poll();
  }
  for (const std::string &value : raw) {
    forwarder->forward(MessageKind::kEvent, "10.0.0.9:4000", nullptr, 0, value.data(),
                       value.size());
  }
  forwarder->flush(60000);
  return forwarder->failed() == 0;
}

std::vector<std::string> _consumer_args(const MockKafka &kafka,
                                        std::vector<std::string> more = {}) {
  std::vector<std::string> args = {"--summary", "--kafka-consume", kafka.bootstraps(),
                                   "--kafka-topic", "veska", "--kafka-group", "fleet",
                                   // A dead or departed member's partitions move within seconds.
                                   "--kafka-property", "session.timeout.ms=6000",
                                   "--kafka-property", "heartbeat.interval.ms=500"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

json _summary(const CollectorProcess &collector) {
  std::string text = collector.stderr_text();
  size_t start = text.rfind("{\"connections\"");
  return start == std::string::npos ? json() : json::parse(text.substr(start), nullptr, false);
}

// How often each transaction id appears among the event lines of the collectors.
std::map<std::string, int> _ids(const std::vector<CollectorProcess *> &collectors) {
  std::map<std::string, int> seen;
  for (CollectorProcess *collector : collectors) {
    for (const json &event : collector->records("event")) {
      ++seen[bytes_of(event["instance"]["transaction_id"])];
    }
  }
  return seen;
}

// Waits, within timeout_s, until the collectors have written n event lines between them.
bool _wait_events(const std::vector<CollectorProcess *> &collectors, size_t n, double timeout_s) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  for (;;) {
    size_t events = 0;
    for (CollectorProcess *collector : collectors) events += collector->records("event").size();
    if (events >= n) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

// Waits until the collector has logged n partition assignments.
bool _wait_assignments(CollectorProcess *collector, size_t n) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  for (;;) {
    std::string text = collector->stderr_text();
    size_t count = 0;
    for (size_t at = text.find("assigned partitions"); at != std::string::npos;
         at = text.find("assigned partitions", at + 1)) {
      ++count;
    }
    if (count >= n) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

TEST(KafkaIntake, WireRecordsReachTheOutputsAndOthersAreRefused) {
  MockKafka kafka;
  ASSERT_TRUE(kafka.start());
  ASSERT_TRUE(_produce(kafka, 0, 300, 3,
                       {R"({"kind":"event","peer":"10.0.0.9:4000"})", std::string("\x01\x00\x00"),
                        std::string(70000, 'x')}));
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(_consumer_args(kafka))) << collector.error();
  ASSERT_TRUE(collector.wait_for("event", 300)) << collector.stderr_text();
  ASSERT_EQ(0, collector.stop());

  std::map<std::string, int> ids = _ids({&collector});
  EXPECT_EQ(300u, ids.size());
  for (const json &event : collector.records("event")) {
    int n = std::stoi(bytes_of(event["instance"]["transaction_id"]).substr(3));
    EXPECT_EQ("10.0.0." + std::to_string(n % 3) + ":4000", event["peer"]);
  }
  json summary = _summary(collector);
  EXPECT_EQ(300, summary["kafka_consumer"]["consumed"]) << collector.stderr_text();
  EXPECT_EQ(3, summary["kafka_consumer"]["refused"]);
  EXPECT_NE(std::string::npos, collector.stderr_text().find("--kafka-format wire"));
}

// A second consumer joins while the first reads, and leaves again: each time the partitions
// are dealt anew, and each consumer starts a partition it takes over after what the other
// delivered.
TEST(KafkaIntake, RebalanceNeitherLosesNorRepeats) {
  MockKafka kafka;
  ASSERT_TRUE(kafka.start());
  int produced = 30000;
  ASSERT_TRUE(_produce(kafka, 0, produced));
  CollectorProcess first, second;
  ASSERT_TRUE(first.start(_consumer_args(kafka))) << first.error();
  ASSERT_TRUE(first.wait_for("event", produced, 120)) << first.stderr_text();
  ASSERT_TRUE(second.start(_consumer_args(kafka))) << second.error();
  // The join deals the partitions anew: the first has its second assignment, the second its
  // first one.
  ASSERT_TRUE(_wait_assignments(&first, 2) && _wait_assignments(&second, 1))
      << first.stderr_text() << second.stderr_text();
  ASSERT_TRUE(_produce(kafka, produced, 20000));
  produced += 20000;
  ASSERT_TRUE(_wait_events({&first, &second}, produced, 120));
  ASSERT_FALSE(second.records("event").empty()) << "the second consumer never had a partition";
  ASSERT_EQ(0, second.stop());  // leaving hands its partitions back to the first
  ASSERT_TRUE(_produce(kafka, produced, 20000));
  produced += 20000;
  ASSERT_TRUE(_wait_events({&first, &second}, produced, 120))
      << first.stderr_text() << second.stderr_text();
  ASSERT_EQ(0, first.stop());

  std::map<std::string, int> ids = _ids({&first, &second});
  EXPECT_EQ(static_cast<size_t>(produced), ids.size());
  int repeated = 0;
  for (const auto &entry : ids) repeated += entry.second != 1;
  EXPECT_EQ(0, repeated);
}

// The store's events: how many, how many distinct transactions, and the sum of the numbers in
// their transaction ids ("ev-NNNNNNN"). All -1 while the store cannot be read.
struct StoreTally {
  int64_t events = -1, transactions = -1, id_sum = -1;
};

StoreTally _tally(const std::string &path) {
  StoreTally tally;
  sqlite3 *db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt *query = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT COUNT(*), COUNT(DISTINCT e.txn), "
                           "TOTAL(CAST(substr(CAST(t.transaction_id AS TEXT), 4) AS INTEGER)) "
                           "FROM events e JOIN transactions t ON t.id = e.txn",
                           -1, &query, nullptr) == SQLITE_OK &&
        sqlite3_step(query) == SQLITE_ROW) {
      tally.events = sqlite3_column_int64(query, 0);
      tally.transactions = sqlite3_column_int64(query, 1);
      tally.id_sum = static_cast<int64_t>(sqlite3_column_double(query, 2));
    }
    sqlite3_finalize(query);
  }
  sqlite3_close(db);
  return tally;
}

// Waits until the store holds at least n events; false after timeout_s.
bool _wait_stored(const std::string &path, int64_t n, double timeout_s) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  while (_tally(path).events < n) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A consumer feeding a store is killed with SIGKILL three times, each at a random point of its
// progress, and started again: in the end the store holds every event exactly once. The events
// are produced a quarter at a time as the consumer goes: the mock cluster keeps only the last
// few megabytes of each partition.
TEST(KafkaIntake, StoreHoldsEachEventOnceAcrossKills) {
  MockKafka kafka;
  ASSERT_TRUE(kafka.start());
  const int64_t events = 200000, quarter = events / 4;
  TempDir folder("veska-kafka-store");
  const std::string store = folder.file("store.db");
  // The test events are stamped 1970: retention by age would take them all.
  const std::vector<std::string> args = _consumer_args(
      kafka,
      {"--quiet", "--store", store, "--retain-bytes", "4294967296", "--retain-age", "36500d"});
  std::random_device seed_source;
  const unsigned seed = seed_source();
  std::mt19937 random(seed);
  std::unique_ptr<CollectorProcess> collector(new CollectorProcess);
  ASSERT_TRUE(collector->start(args)) << collector->error();
  for (int64_t produced = 0; produced < events; produced += quarter) {
    ASSERT_TRUE(_produce(kafka, static_cast<int>(produced), static_cast<int>(quarter)));
    if (produced + quarter == events) break;
    // Killed somewhere in the quarter just produced, then started again.
    const int64_t point = produced + std::uniform_int_distribution<int64_t>(1, quarter)(random);
    ASSERT_TRUE(_wait_stored(store, point, 120))
        << "seed " << seed << ", stored " << _tally(store).events << collector->stderr_text();
    ASSERT_EQ(0, ::kill(collector->pid(), SIGKILL));
    EXPECT_EQ(128 + SIGKILL, collector->stop());
    collector.reset(new CollectorProcess);
    ASSERT_TRUE(collector->start(args)) << collector->error();
  }
  EXPECT_TRUE(_wait_stored(store, events, 120))
      << "seed " << seed << ", stored " << _tally(store).events << collector->stderr_text();
  ASSERT_EQ(0, collector->stop(60));

  StoreTally tally = _tally(store);
  EXPECT_EQ(events, tally.events) << "seed " << seed;
  EXPECT_EQ(events, tally.transactions);
  EXPECT_EQ(events * (events - 1) / 2, tally.id_sum);
}

}  // namespace
}  // namespace veska_test
