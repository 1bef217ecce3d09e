// The writer's life across restarts, the files it refuses, the Kafka positions it keeps and
// the retention bounds it holds.
#include "tools/collector/store/transaction_writer.h"

#include <sys/stat.h>

#include "tests/collector/store/store_fixture.h"
#include "tools/collector/store/consumer_offsets.h"

namespace veska_test {
namespace {

using veska::store::MessageBatch;
using veska::store::TransactionWriter;

int64_t file_size(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

TEST_F(StoreTest, ReopeningContinuesTheStore) {
  const int64_t t = now_us();
  write({{QIVA_STARTED_EVENT, "resumed", t}});
  writer_.reset();
  write({{QIVA_FINISHED_EVENT, "resumed", t + 5}, {QIVA_COMMIT_EVENT, "resumed", t + 6}});
  const nlohmann::ordered_json d = detail("resumed");
  EXPECT_EQ(3, d["transaction"]["events"]);
  EXPECT_EQ("commit", d["transaction"]["outcome"]);
  EXPECT_EQ("1", d["transaction"]["key"]);
}

TEST_F(StoreTest, FilesOfAnotherVersionOrProgramAreRefusedUntouched) {
  write({{QIVA_STARTED_EVENT, "x", now_us()}});
  writer_.reset();
  const std::string foreign = folder_.file("foreign.sqlite");
  veska::store::Database db;
  std::string error;
  ASSERT_TRUE(db.open(foreign, false, &error));
  ASSERT_TRUE(db.exec("CREATE TABLE mine(a)", &error));
  veska::store::Database ours;
  ASSERT_TRUE(ours.open(path(), false, &error));
  ASSERT_TRUE(ours.exec("PRAGMA user_version=99", &error));
  for (const std::string &file : {path(), foreign}) {
    SCOPED_TRACE(file);
    bool refused = false;
    const int64_t size = file_size(file);
    EXPECT_FALSE(TransactionWriter::open(file, settings_, &error, &refused));
    EXPECT_TRUE(refused);
    EXPECT_NE(std::string::npos, error.find("refusing")) << error;
    EXPECT_EQ(size, file_size(file));
  }
}

TEST_F(StoreTest, KafkaPositionsAreKeptWithTheirEvents) {
  const std::string topic = "veska";
  const Bytes event = event_message({QIVA_STARTED_EVENT, "k", now_us()});
  MessageBatch batch;
  for (int64_t offset : {7, 41, 40}) {
    batch.add(event.data(), event.size(), "127.0.0.1:1", 1, 0, now_us(), &topic, 2, offset);
  }
  batch.add(event.data(), event.size(), "127.0.0.1:1", 1, 0, now_us(), &topic, 0, 3);
  std::string error;
  ASSERT_TRUE(writer().write(batch, now_us(), &error)) << error;
  std::map<int32_t, int64_t> next;
  ASSERT_TRUE(veska::store::load_consumer_offsets(path(), topic, &next, &error)) << error;
  EXPECT_EQ((std::map<int32_t, int64_t>{{0, 4}, {2, 42}}), next);
  ASSERT_TRUE(veska::store::load_consumer_offsets(path(), "other", &next, &error));
  EXPECT_TRUE(next.empty());
  ASSERT_TRUE(veska::store::load_consumer_offsets(folder_.file("none"), topic, &next, &error));
  EXPECT_TRUE(next.empty());
}

TEST_F(StoreTest, RetentionHoldsTheFileNearItsBound) {
  settings_.retain_bytes = 4 << 20;
  const int64_t t = now_us();
  int64_t largest = 0;
  // Five times the bound in event bytes alone, in transactions of five.
  const std::string padding(180, 'p');
  for (int round = 0; round < 120; ++round) {
    std::vector<StoredEvent> events;
    for (int i = 0; i < 1000; ++i) {
      const std::string id = "r" + std::to_string(round) + "-" + std::to_string(i / 5);
      events.push_back({QIVA_HERE_EVENT, id, t + i, "", "", {{"pad", bytes_of_text(padding)}}});
    }
    write(events);
    largest = std::max(largest, file_size(path()));
  }
  EXPECT_LE(largest, settings_.retain_bytes * 11 / 10);
  EXPECT_GT(writer().retention_deleted(), 0u);
  veska::store::TransactionQuery newest;
  newest.id = "r119-199";
  EXPECT_EQ(1u, search_ids(newest).size());
}

TEST_F(StoreTest, RetentionByAgeRemovesTheOldestFirst) {
  settings_.retain_age = 3600;
  const int64_t t = now_us();
  write({{QIVA_STARTED_EVENT, "ancient", t - 7200 * 1000000LL},
         {QIVA_STARTED_EVENT, "recent", t - 60 * 1000000LL}});
  EXPECT_EQ(std::vector<std::string>{"recent"}, search_ids({}));
  EXPECT_EQ(1u, writer().retention_deleted());
}

}  // namespace
}  // namespace veska_test
