// veska-collector forwarding to librdkafka's mock cluster (three brokers, a topic of three
// partitions) while the library sends it events of several transactions: every message exactly
// once, keyed and in order per transaction, with the values the collector's own lines show.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kafka/mock_kafka.h"
#include "private_api.h"
#include "support/client_events.h"
#include "support/collector_process.h"

namespace veska_test {
namespace {

using nlohmann::json;

constexpr int kTransactions = 4;

// One library configuration sending to the collector; shut down when it goes.
class Client {
 public:
  explicit Client(const std::string &server) : server_(server) {
    std::memset(&config_, 0, sizeof config_);
    config_.server = server_.c_str();
    config_.connect_timeout = 5000;
    config_.connect_retry_interval = 50;
    started_ = QIVA_init(&config_) == 0;
  }
  ~Client() {
    if (started_) QIVA_shutdown(&config_);
  }
  // Events first..last-1 of every transaction, interleaved; event n carries n + 1 bytes of
  // padding, so its length tells its place. True when all were queued and flushed.
  bool send(int first, int last) {
    for (int n = first; n < last; ++n) {
      for (int t = 0; t < kTransactions; ++t) {
        if (enqueue_test_event(&config_, "tx-" + std::to_string(t), n + 1) != 0) return false;
      }
    }
    ve_time_t wait = {60, 0};
    return started_ && QIVA_flush(&config_, &wait) == 0;
  }

 private:
  std::string server_;
  qiva_config_t config_;
  bool started_ = false;
};

// The collector's own records, protocol errors aside: what must reach the topic.
CollectorRecords _messages(CollectorProcess *collector) {
  CollectorRecords messages;
  for (const json &record : collector->records()) {
    if (record["kind"] != "protocol_error") messages.push_back(record);
  }
  return messages;
}

json _summary(const CollectorProcess &collector) {
  std::string text = collector.stderr_text();
  size_t start = text.rfind("{\"connections\"");
  return start == std::string::npos ? json() : json::parse(text.substr(start), nullptr, false);
}

// Every record's key and headers; JSON values equal the collector's lines, each exactly once;
// the events of one transaction in one partition, in the order of the collector's lines.
void _expect_json_records(const std::vector<KafkaRecord> &records, const CollectorRecords &lines,
                          int events) {
  std::multiset<std::string> expected, got;
  std::map<std::string, std::vector<std::string>> lines_of;  // transaction: its lines, in order
  for (const json &line : lines) {
    expected.insert(line.dump());
    if (line["kind"] == "event")
      lines_of[line["instance"]["transaction_id"]].push_back(line.dump());
  }
  std::map<std::string, std::vector<const KafkaRecord *>> records_of;
  for (const KafkaRecord &r : records) {
    json value = json::parse(r.value, nullptr, false);
    ASSERT_TRUE(value.is_object()) << r.value;
    got.insert(value.dump());
    EXPECT_EQ(value["kind"], r.headers.at("veska.kind"));
    EXPECT_EQ(value["peer"], r.headers.at("veska.peer"));
    if (value["kind"] == "event") {
      ASSERT_FALSE(r.null_key);
      EXPECT_EQ(value["instance"]["transaction_id"], r.key);
      records_of[r.key].push_back(&r);
    } else {
      EXPECT_EQ(value["peer"], r.key);
    }
  }
  EXPECT_TRUE(expected == got) << "records and lines differ";
  ASSERT_EQ(static_cast<size_t>(kTransactions), records_of.size());
  for (auto &[key, list] : records_of) {
    ASSERT_EQ(static_cast<size_t>(events), list.size()) << key;
    std::vector<std::string> in_partition_order;
    for (size_t n = 0; n < list.size(); ++n) {
      EXPECT_EQ(list[0]->partition, list[n]->partition) << key;
      if (n > 0) {
        EXPECT_LT(list[n - 1]->offset, list[n]->offset) << key;
      }
      in_partition_order.push_back(json::parse(list[n]->value).dump());
    }
    EXPECT_TRUE(lines_of[key] == in_partition_order) << key;
  }
}

// After the collector stopped: it counts every line delivered and none failed, and Kafka
// holds each line as a JSON record (30 events per transaction).
void _expect_lines_delivered_as_json(MockKafka *kafka, CollectorProcess *collector) {
  CollectorRecords lines = _messages(collector);
  json summary = _summary(*collector);
  EXPECT_EQ(lines.size(), summary["kafka"]["delivered"]) << collector->stderr_text();
  EXPECT_EQ(0, summary["kafka"]["failed"]);

  std::vector<KafkaRecord> records = kafka->consume(lines.size());
  EXPECT_EQ(static_cast<int64_t>(lines.size()), kafka->total_records());
  _expect_json_records(records, lines, 30);
}

TEST(CollectorKafka, JsonRecordsMatchTheCollectorLines) {
  MockKafka kafka;
  ASSERT_TRUE(kafka.start());
  CollectorProcess collector;
  ASSERT_TRUE(collector.start(
      {"--summary", "--kafka-brokers", kafka.bootstraps(), "--kafka-property", "linger.ms=5"}))
      << collector.error();
  {
    Client first(collector.server()), second(collector.server());
    ASSERT_TRUE(first.send(0, 15));
    ASSERT_TRUE(second.send(15, 30));
  }
  ASSERT_TRUE(collector.wait_for("event", 30 * kTransactions));
  ASSERT_EQ(0, collector.stop());  // SIGTERM: the producer is flushed before the summary
  _expect_lines_delivered_as_json(&kafka, &collector);
}

// Wire values are the messages' bytes: the events' exactly as the library serialised them.
// The collector exits on --count and flushes first.
TEST(CollectorKafka, WireRecordsAreTheMessageBytes) {
  MockKafka kafka;
  ASSERT_TRUE(kafka.start());
  CollectorProcess collector;
  const int events = 10 * kTransactions;
  ASSERT_TRUE(collector.start({"--summary", "--count", std::to_string(events), "--kafka-brokers",
                               kafka.bootstraps(), "--kafka-format", "wire"}))
      << collector.error();
  {
    Client client(collector.server());
    ASSERT_TRUE(client.send(0, 10));
  }
  ASSERT_EQ(0, collector.wait_exit());
  CollectorRecords lines = _messages(&collector);
  EXPECT_EQ(lines.size(), _summary(collector)["kafka"]["delivered"]) << collector.stderr_text();

  std::vector<KafkaRecord> records = kafka.consume(lines.size());
  ASSERT_EQ(lines.size(), records.size());
  EXPECT_EQ(static_cast<int64_t>(lines.size()), kafka.total_records());
  std::multiset<std::string> expected_events, got_events;
  for (int n = 0; n < 10; ++n) {
    for (int t = 0; t < kTransactions; ++t) {
      std::string id = "tx-" + std::to_string(t);
      std::vector<uint8_t> bytes = serialise_test_event(id, n + 1);
      expected_events.insert(id + "|" + std::string(bytes.begin(), bytes.end()));
    }
  }
  std::map<std::string, int> kinds;
  for (const KafkaRecord &r : records) {
    ASSERT_GE(r.value.size(), 4u);
    const uint8_t *v = reinterpret_cast<const uint8_t *>(r.value.data());
    EXPECT_EQ(r.value.size() - 4, static_cast<size_t>(v[2] << 8 | v[3]));
    const std::string &kind = r.headers.at("veska.kind");
    ++kinds[kind];
    if (kind == "event") got_events.insert(r.key + "|" + r.value);
  }
  EXPECT_TRUE(expected_events == got_events);
  EXPECT_EQ(1, kinds["register"]);
  EXPECT_EQ(events, kinds["event"]);
}

// Every broker down for a few seconds in the middle: the collector keeps accepting and reading
// clients, the producer holds the records, and once the brokers are back every one arrives
// once; nothing is counted failed.
TEST(CollectorKafka, BrokerOutageLosesAndDuplicatesNothing) {
  MockKafka kafka;
  ASSERT_TRUE(kafka.start());
  CollectorProcess collector;
  ASSERT_TRUE(collector.start({"--summary", "--kafka-brokers", kafka.bootstraps()}))
      << collector.error();
  {
    Client before(collector.server());
    ASSERT_TRUE(before.send(0, 10));
  }
  ASSERT_TRUE(collector.wait_for("event", 10 * kTransactions));
  kafka.set_all_down();
  {
    Client during(collector.server());  // a new connection while Kafka is away
    ASSERT_TRUE(during.send(10, 20));
  }
  ASSERT_TRUE(collector.wait_for("event", 20 * kTransactions));
  std::this_thread::sleep_for(std::chrono::seconds(3));  // the outage lasts a few seconds
  kafka.set_all_up();
  {
    Client after(collector.server());
    ASSERT_TRUE(after.send(20, 30));
  }
  ASSERT_TRUE(collector.wait_for("event", 30 * kTransactions));
  ASSERT_EQ(0, collector.stop(60));
  _expect_lines_delivered_as_json(&kafka, &collector);
}

TEST(CollectorKafka, BadKafkaOptionsAreRefused) {
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"--kafka-topic", "t"},
        std::vector<std::string>{"--kafka-brokers", "127.0.0.1:1", "--kafka-format", "xml"},
        std::vector<std::string>{"--kafka-brokers", "127.0.0.1:1", "--kafka-property", "x"},
        std::vector<std::string>{"--kafka-brokers", "127.0.0.1:1", "--kafka-property",
                                 "no.such.property=1"}}) {
    CollectorProcess collector;
    EXPECT_FALSE(collector.start(args, "127.0.0.1:0", 30));
    EXPECT_NE(std::string::npos, collector.error().find("status 2")) << collector.error();
  }
}

}  // namespace
}  // namespace veska_test
