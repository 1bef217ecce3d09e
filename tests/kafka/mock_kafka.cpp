// The mock cluster lives on a producer handle that never produces: librdkafka needs a handle for
// the cluster's bookkeeping threads, and the code under test connects to it like any client.
#include "kafka/mock_kafka.h"

#include <librdkafka/rdkafka.h>
#include <librdkafka/rdkafka_mock.h>
#include <stdlib.h>

#include <chrono>

namespace veska_test {

namespace {

rd_kafka_conf_t *_quiet_conf() {
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  char error[256];
  rd_kafka_conf_set(conf, "log_level", getenv("MOCK_LOG") ? "7" : "0", error, sizeof error);
  if (getenv("MOCK_LOG")) rd_kafka_conf_set(conf, "debug", getenv("MOCK_LOG"), error, sizeof error);
  return conf;
}

}  // namespace

MockKafka::~MockKafka() {
  if (cluster_ != nullptr) rd_kafka_mock_cluster_destroy(cluster_);
  if (host_ != nullptr) rd_kafka_destroy(host_);
}

bool MockKafka::start(int brokers, const std::string &topic, int partitions) {
  char error[256];
  rd_kafka_conf_t *conf = _quiet_conf();
  host_ = rd_kafka_new(RD_KAFKA_PRODUCER, conf, error, sizeof error);
  if (host_ == nullptr) {
    rd_kafka_conf_destroy(conf);
    return false;
  }
  cluster_ = rd_kafka_mock_cluster_new(host_, brokers);
  if (cluster_ == nullptr) return false;
  bootstraps_ = rd_kafka_mock_cluster_bootstraps(cluster_);
  topic_ = topic;
  partitions_ = partitions;
  return rd_kafka_mock_topic_create(cluster_, topic.c_str(), partitions, 1) ==
         RD_KAFKA_RESP_ERR_NO_ERROR;
}

void MockKafka::set_all_down() { rd_kafka_mock_broker_set_down(cluster_, -1); }
void MockKafka::set_all_up() { rd_kafka_mock_broker_set_up(cluster_, -1); }

std::vector<KafkaRecord> MockKafka::consume(size_t count, double timeout_s) {
  std::vector<KafkaRecord> records;
  char error[256];
  rd_kafka_conf_t *conf = _quiet_conf();
  rd_kafka_conf_set(conf, "bootstrap.servers", bootstraps_.c_str(), error, sizeof error);
  // A group is needed for the consumer's poll loop; partitions are assigned, never subscribed.
  rd_kafka_conf_set(conf, "group.id", "veska-test", error, sizeof error);
  rd_kafka_conf_set(conf, "enable.auto.commit", "false", error, sizeof error);
  rd_kafka_t *consumer = rd_kafka_new(RD_KAFKA_CONSUMER, conf, error, sizeof error);
  if (consumer == nullptr) {
    rd_kafka_conf_destroy(conf);
    return records;
  }
  rd_kafka_topic_partition_list_t *partitions = rd_kafka_topic_partition_list_new(partitions_);
  for (int32_t p = 0; p < partitions_; ++p) {
    rd_kafka_topic_partition_list_add(partitions, topic_.c_str(), p)->offset =
        RD_KAFKA_OFFSET_BEGINNING;
  }
  rd_kafka_assign(consumer, partitions);
  rd_kafka_topic_partition_list_destroy(partitions);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  while (records.size() < count && std::chrono::steady_clock::now() < deadline) {
    rd_kafka_message_t *message = rd_kafka_consumer_poll(consumer, 100);
    if (message == nullptr) continue;
    if (message->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
      KafkaRecord record;
      record.partition = message->partition;
      record.offset = message->offset;
      record.null_key = message->key == nullptr;
      if (message->key != nullptr) {
        record.key.assign(static_cast<const char *>(message->key), message->key_len);
      }
      record.value.assign(static_cast<const char *>(message->payload), message->len);
      rd_kafka_headers_t *headers = nullptr;
      if (rd_kafka_message_headers(message, &headers) == RD_KAFKA_RESP_ERR_NO_ERROR) {
        const char *name;
        const void *value;
        size_t size;
        for (size_t i = 0; rd_kafka_header_get_all(headers, i, &name, &value, &size) ==
                           RD_KAFKA_RESP_ERR_NO_ERROR;
             ++i) {
          record.headers[name].assign(static_cast<const char *>(value), size);
        }
      }
      records.push_back(std::move(record));
    }
    rd_kafka_message_destroy(message);
  }
  rd_kafka_consumer_close(consumer);
  rd_kafka_destroy(consumer);
  return records;
}

int64_t MockKafka::total_records() {
  char error[256];
  rd_kafka_conf_t *conf = _quiet_conf();
  rd_kafka_conf_set(conf, "bootstrap.servers", bootstraps_.c_str(), error, sizeof error);
  rd_kafka_t *client = rd_kafka_new(RD_KAFKA_CONSUMER, conf, error, sizeof error);
  if (client == nullptr) {
    rd_kafka_conf_destroy(conf);
    return -1;
  }
  int64_t total = 0;
  for (int32_t p = 0; p < partitions_ && total >= 0; ++p) {
    int64_t low = 0, high = 0;
    if (rd_kafka_query_watermark_offsets(client, topic_.c_str(), p, &low, &high, 30000) !=
        RD_KAFKA_RESP_ERR_NO_ERROR) {
      total = -1;
    } else {
      total += high - low;
    }
  }
  rd_kafka_destroy(client);
  return total;
}

}  // namespace veska_test
