// The collector's Kafka forwarder in this process against librdkafka's mock cluster: keys,
// headers, per-transaction order, delivery accounting through an outage, and failures counted.
#include "tools/collector/outputs/kafka_forwarder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kafka/mock_kafka.h"

namespace veska_test {
namespace {

using veska::kafka::Forwarder;
using veska::wire::Bytes;
using veska::wire::MessageKind;

std::unique_ptr<Forwarder> _forwarder(const std::string &brokers,
                                      std::vector<std::pair<std::string, std::string>> props = {}) {
  veska::kafka::Options options;
  options.brokers = brokers;
  options.properties = std::move(props);
  std::string error;
  std::unique_ptr<Forwarder> forwarder = Forwarder::create(options, &error);
  EXPECT_TRUE(forwarder) << error;
  return forwarder;
}

void _forward_text(Forwarder *f, MessageKind kind, const std::string &peer, const Bytes *id,
                   const std::string &value) {
  f->forward(kind, peer, id != nullptr ? id->data() : nullptr, id != nullptr ? id->size() : 0,
             value.data(), value.size());
}

// Serves reports until every forwarded record has one, within timeout_s.
bool _settle(Forwarder *f, double timeout_s = 60) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  while (f->delivered() + f->failed() < f->forwarded()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    f->poll();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Five transactions of 20 events each, interleaved, then checked per transaction: one
// partition, offsets rising in the order forwarded, the values in that order.
void _forward_transactions(Forwarder *f, int first, int last) {
  for (int n = first; n < last; ++n) {
    for (int t = 0; t < 5; ++t) {
      std::string text = "tx-" + std::to_string(t);
      Bytes id(text.begin(), text.end());
      _forward_text(f, MessageKind::kEvent, "127.0.0.1:4000", &id, text + "#" + std::to_string(n));
    }
  }
}

void _expect_transactions(const std::vector<KafkaRecord> &records, int events) {
  std::map<std::string, std::vector<const KafkaRecord *>> by_key;
  for (const KafkaRecord &r : records) {
    if (r.headers.count("veska.kind") && r.headers.at("veska.kind") == "event" && !r.null_key) {
      by_key[r.key].push_back(&r);
    }
  }
  ASSERT_EQ(5u, by_key.size());
  for (auto &[key, list] : by_key) {
    ASSERT_EQ(static_cast<size_t>(events), list.size()) << key;
    for (int n = 0; n < events; ++n) {
      EXPECT_EQ(list[0]->partition, list[n]->partition) << key;
      EXPECT_EQ(key + "#" + std::to_string(n), list[n]->value);
      if (n > 0) {
        EXPECT_LT(list[n - 1]->offset, list[n]->offset);
      }
    }
  }
}

TEST(KafkaForwarder, KeysHeadersAndOrderPerTransaction) {
  MockKafka kafka;
  ASSERT_TRUE(kafka.start());
  std::unique_ptr<Forwarder> f = _forwarder(kafka.bootstraps());
  ASSERT_TRUE(f);
  _forward_text(f.get(), MessageKind::kRegister, "127.0.0.1:4000", nullptr, "reg");
  _forward_transactions(f.get(), 0, 20);
  _forward_text(f.get(), MessageKind::kEvent, "127.0.0.1:4000", nullptr, "no instance");
  _forward_text(f.get(), MessageKind::kHeartbeat, "[::1]:4001", nullptr, "beat");
  ASSERT_TRUE(_settle(f.get()));
  EXPECT_EQ(103u, f->delivered());
  EXPECT_EQ(0u, f->failed());

  std::vector<KafkaRecord> records = kafka.consume(103);
  ASSERT_EQ(103u, records.size());
  EXPECT_EQ(103, kafka.total_records());
  _expect_transactions(records, 20);
  std::map<std::string, const KafkaRecord *> by_value;
  for (const KafkaRecord &r : records) {
    by_value[r.value] = &r;
    EXPECT_EQ(2u, r.headers.size());
  }
  ASSERT_EQ(103u, by_value.size());
  const KafkaRecord &reg = *by_value.at("reg");
  EXPECT_EQ("127.0.0.1:4000", reg.key);
  EXPECT_EQ("register", reg.headers.at("veska.kind"));
  EXPECT_EQ("127.0.0.1:4000", reg.headers.at("veska.peer"));
  EXPECT_TRUE(by_value.at("no instance")->null_key);
  EXPECT_EQ("[::1]:4001", by_value.at("beat")->key);
  EXPECT_EQ("heartbeat", by_value.at("beat")->headers.at("veska.kind"));
  EXPECT_EQ("[::1]:4001", by_value.at("beat")->headers.at("veska.peer"));
}

// Records forwarded while every broker is down wait in the producer and arrive once, in order,
// when the brokers are back.
TEST(KafkaForwarder, OutageIsCarriedWithoutLossOrDuplicates) {
  MockKafka kafka;
  ASSERT_TRUE(kafka.start());
  std::unique_ptr<Forwarder> f = _forwarder(kafka.bootstraps());
  ASSERT_TRUE(f);
  _forward_transactions(f.get(), 0, 10);
  kafka.set_all_down();
  _forward_transactions(f.get(), 10, 30);
  for (int i = 0; i < 150; ++i) {  // about three seconds of serving reports
    f->poll();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(0u, f->failed());
  kafka.set_all_up();
  ASSERT_TRUE(_settle(f.get(), 120));
  EXPECT_EQ(150u, f->delivered());
  EXPECT_EQ(0u, f->failed());
  std::vector<KafkaRecord> records = kafka.consume(150);
  EXPECT_EQ(150, kafka.total_records());
  _expect_transactions(records, 30);
}

// What cannot be queued or delivered is counted, never dropped silently; the exit flush turns
// records still waiting into failures so that the two counts add up.
TEST(KafkaForwarder, UndeliverableRecordsAreCountedAsFailed) {
  MockKafka kafka;
  ASSERT_TRUE(kafka.start());
  kafka.set_all_down();
  std::unique_ptr<Forwarder> full =
      _forwarder(kafka.bootstraps(), {{"queue.buffering.max.messages", "5"}});
  ASSERT_TRUE(full);
  testing::internal::CaptureStderr();
  _forward_transactions(full.get(), 0, 4);
  std::string logged = testing::internal::GetCapturedStderr();
  EXPECT_EQ(15u, full->failed());                           // 20 forwarded, room for 5
  size_t first = logged.find("failed: Local: Queue full");  // logged once, with librdkafka's text
  EXPECT_NE(std::string::npos, first) << logged;
  EXPECT_EQ(std::string::npos, logged.find("Queue full", first + 30)) << logged;
  full->flush(500);
  EXPECT_EQ(0u, full->delivered());
  EXPECT_EQ(20u, full->failed());

  std::unique_ptr<Forwarder> late = _forwarder(kafka.bootstraps(), {{"message.timeout.ms", "500"}});
  ASSERT_TRUE(late);
  _forward_transactions(late.get(), 0, 2);
  ASSERT_TRUE(_settle(late.get()));
  EXPECT_EQ(10u, late->failed());
  EXPECT_EQ(0u, late->delivered());
}

// A queue far smaller than the burst: the forwarder waits for room while the brokers take
// records, instead of failing them.
TEST(KafkaForwarder, FullQueueWaitsWhileBrokersDeliver) {
  MockKafka kafka;
  ASSERT_TRUE(kafka.start());
  std::unique_ptr<Forwarder> f =
      _forwarder(kafka.bootstraps(), {{"queue.buffering.max.messages", "10"}});
  ASSERT_TRUE(f);
  _forward_transactions(f.get(), 0, 40);
  ASSERT_TRUE(_settle(f.get()));
  EXPECT_EQ(200u, f->delivered());
  EXPECT_EQ(0u, f->failed());
  _expect_transactions(kafka.consume(200), 40);
}

TEST(KafkaForwarder, Options) {
  veska::kafka::Options o;
  std::string error;
  EXPECT_TRUE(veska::kafka::is_option("--kafka-property"));
  EXPECT_FALSE(veska::kafka::is_option("--kafka"));
  EXPECT_TRUE(veska::kafka::set_option("--kafka-topic", "t", &o, &error));
  EXPECT_FALSE(o.enabled());
  EXPECT_FALSE(veska::kafka::check_options(o, &error));
  EXPECT_EQ("the Kafka options need --kafka-brokers", error);
  EXPECT_TRUE(veska::kafka::set_option("--kafka-brokers", "127.0.0.1:1", &o, &error));
  EXPECT_TRUE(veska::kafka::set_option("--kafka-format", "wire", &o, &error));
  EXPECT_TRUE(veska::kafka::set_option("--kafka-property", "linger.ms=5=x", &o, &error));
  EXPECT_TRUE(o.enabled());
  EXPECT_EQ(veska::kafka::Format::kWire, o.format);
  EXPECT_TRUE(veska::kafka::check_options(o, &error));
  EXPECT_EQ("t", o.topic);
  ASSERT_EQ(1u, o.properties.size());
  EXPECT_EQ("linger.ms", o.properties[0].first);
  EXPECT_EQ("5=x", o.properties[0].second);
  EXPECT_FALSE(veska::kafka::set_option("--kafka-format", "xml", &o, &error));
  EXPECT_EQ("option '--kafka-format' takes json or wire, not 'xml'", error);
  EXPECT_FALSE(veska::kafka::set_option("--kafka-property", "=1", &o, &error));
  EXPECT_FALSE(veska::kafka::set_option("--kafka-topic", "", &o, &error));

  o.properties = {{"no.such.property", "1"}};
  EXPECT_FALSE(Forwarder::create(o, &error));
  EXPECT_NE(std::string::npos, error.find("no.such.property")) << error;
}

}  // namespace
}  // namespace veska_test
