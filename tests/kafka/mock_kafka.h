// librdkafka's mock cluster hosted in the test process, and a consumer that reads a topic back.
//
//   veska_test::MockKafka kafka;
//   ASSERT_TRUE(kafka.start());                  // 3 brokers, topic "veska" with 3 partitions
//   ... produce to kafka.bootstraps() ...
//   auto records = kafka.consume(n);            // bounded wait for n records, all partitions
//   EXPECT_EQ(n, kafka.total_records());         // high watermarks: nothing more was written
#ifndef VESKA_TESTS_KAFKA_MOCK_KAFKA_H
#define VESKA_TESTS_KAFKA_MOCK_KAFKA_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct rd_kafka_s;
struct rd_kafka_mock_cluster_s;

namespace veska_test {

struct KafkaRecord {
  int32_t partition = -1;
  int64_t offset = -1;
  bool null_key = true;
  std::string key;
  std::string value;
  std::map<std::string, std::string> headers;
};

class MockKafka {
 public:
  MockKafka() = default;
  ~MockKafka();
  MockKafka(const MockKafka &) = delete;
  MockKafka &operator=(const MockKafka &) = delete;

  // Starts the cluster (brokers on loopback ports) and creates the topic.
  bool start(int brokers = 3, const std::string &topic = "veska", int partitions = 3);
  const std::string &bootstraps() const { return bootstraps_; }
  rd_kafka_mock_cluster_s *cluster() const { return cluster_; }

  // Every broker down (connections cut and refused) or up again.
  void set_all_down();
  void set_all_up();

  // Reads the topic from the beginning of every partition until `count` records have come or
  // timeout_s has passed; records in the order read (per partition, in offset order).
  std::vector<KafkaRecord> consume(size_t count, double timeout_s = 60);
  // Sum of the partitions' high watermarks: every record ever written to the topic.
  int64_t total_records();

 private:
  rd_kafka_s *host_ = nullptr;
  rd_kafka_mock_cluster_s *cluster_ = nullptr;
  std::string bootstraps_;
  std::string topic_;
  int partitions_ = 0;
};

}  // namespace veska_test

#endif  // VESKA_TESTS_KAFKA_MOCK_KAFKA_H
