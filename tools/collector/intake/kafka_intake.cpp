// The collector's Kafka intake: the consumer, its partition assignment and its offsets.
#include "tools/collector/intake/kafka_intake.h"

#include <librdkafka/rdkafka.h>
#include <stdio.h>

#include <algorithm>
#include <thread>

#include "tools/collector/metrics/metrics.h"
#include "tools/collector/outputs/kafka_config.h"

namespace veska {
namespace collector {

namespace {

using Clock = std::chrono::steady_clock;

// A veska.peer header longer than this is cut: it is an address, and it is hostile input.
constexpr size_t kPeerLimit = 255;
// Distinct clients given a connection number of their own; later ones share number 0, so that a
// topic full of made-up peers cannot grow the table without bound.
constexpr size_t kConnectionLimit = 100000;
// How often a store's offsets are committed to the group while records flow.
constexpr auto kCommitInterval = std::chrono::seconds(1);
// How long a rebalance or close waits for the store to write what was delivered before it
// commits only what the store holds.
constexpr auto kSettleBound = std::chrono::seconds(30);
constexpr auto kSettleStep = std::chrono::milliseconds(20);
// Bounds the wait for the group's committed offsets when partitions are assigned.
constexpr int kCommittedTimeoutMs = 10000;

// The printable ASCII of a header value, everything else as '?', cut to kPeerLimit: outputs
// write the peer into JSON and the store, so it must be text.
void _clean_peer(const void *value, size_t size, std::string *peer) {
  const unsigned char *bytes = static_cast<const unsigned char *>(value);
  size = std::min(size, kPeerLimit);
  peer->assign(size, '?');
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] >= 0x20 && bytes[i] < 0x7f) (*peer)[i] = static_cast<char>(bytes[i]);
  }
}

}  // namespace

// librdkafka calls this from the consumer's poll, on the collector's thread. The assignment is
// eager (the default strategies): every rebalance revokes all partitions, then assigns anew.
struct KafkaIntakeCallbacks {
  static void on_rebalance(rd_kafka_t *rk, rd_kafka_resp_err_t err,
                           rd_kafka_topic_partition_list_t *partitions, void *opaque) {
    KafkaIntake *self = static_cast<KafkaIntake *>(opaque);
    if (err == RD_KAFKA_RESP_ERR__ASSIGN_PARTITIONS) {
      self->_assign(partitions);
    } else {
      self->_revoke();
      rd_kafka_assign(rk, nullptr);
    }
  }
};

std::unique_ptr<KafkaIntake> KafkaIntake::create(const KafkaIntakeSettings &settings,
                                                 std::vector<std::unique_ptr<Output>> *outputs,
                                                 std::string *error) {
  std::unique_ptr<KafkaIntake> intake(new KafkaIntake(settings, outputs));
  // Offsets are committed by hand, and only for what the outputs hold. librdkafka's own log
  // lines are off, as for the producer.
  rd_kafka_conf_t *conf = kafka::make_conf({{"bootstrap.servers", settings.brokers},
                                            {"group.id", settings.group},
                                            {"enable.auto.commit", "false"},
                                            {"enable.auto.offset.store", "false"},
                                            {"auto.offset.reset", "earliest"},
                                            {"log_level", "0"}},
                                           settings.properties, error);
  if (conf == nullptr) return nullptr;
  rd_kafka_conf_set_opaque(conf, intake.get());
  rd_kafka_conf_set_rebalance_cb(conf, &KafkaIntakeCallbacks::on_rebalance);
  char text[kafka::kErrorTextSize];
  intake->consumer_ = rd_kafka_new(RD_KAFKA_CONSUMER, conf, text, sizeof text);
  if (intake->consumer_ == nullptr) {
    rd_kafka_conf_destroy(conf);
    *error = std::string("cannot create the Kafka consumer: ") + text;
    return nullptr;
  }
  rd_kafka_poll_set_consumer(intake->consumer_);
  rd_kafka_topic_partition_list_t *topics = rd_kafka_topic_partition_list_new(1);
  rd_kafka_topic_partition_list_add(topics, settings.topic.c_str(), RD_KAFKA_PARTITION_UA);
  rd_kafka_resp_err_t err = rd_kafka_subscribe(intake->consumer_, topics);
  rd_kafka_topic_partition_list_destroy(topics);
  if (err != RD_KAFKA_RESP_ERR_NO_ERROR) {
    *error = std::string("cannot subscribe to the Kafka topic: ") + rd_kafka_err2str(err);
    return nullptr;
  }
  return intake;
}

KafkaIntake::~KafkaIntake() {
  if (consumer_ == nullptr) return;
  close();
  rd_kafka_destroy(consumer_);
}

void KafkaIntake::close() {
  if (closed_) return;
  closed_ = true;
  // Leaving the group revokes the partitions through the rebalance callback, which commits.
  rd_kafka_consumer_close(consumer_);
  _publish();
}

void KafkaIntake::poll(int timeout_ms, size_t max_records) {
  if (closed_) return;
  for (size_t n = 0; n < max_records && _outputs_accepting(); ++n) {
    rd_kafka_message_t *record = rd_kafka_consumer_poll(consumer_, n == 0 ? timeout_ms : 0);
    if (record == nullptr) break;
    if (record->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
      _deliver(record);
    } else if (record->err != RD_KAFKA_RESP_ERR__PARTITION_EOF &&
               refusals_reported_.insert(rd_kafka_err2name(record->err)).second) {
      // Consumer-wide trouble (brokers away, topic missing): librdkafka retries by itself.
      fprintf(stderr, "veska-collector: kafka consumer: %s\n", rd_kafka_message_errstr(record));
    }
    rd_kafka_message_destroy(record);
  }
  for (const std::unique_ptr<Output> &output : *outputs_) {
    output->flush();
    output->poll();
  }
  // Without a store the outputs hold what they were handed once flushed: commit it at once, so
  // that a partition moving to another consumer starts right after it. A store's offsets are
  // read from its file, which is worth doing only now and then.
  if (!settings_.stored_offsets || Clock::now() - last_commit_ >= kCommitInterval) _commit(false);
  _publish();
}

void KafkaIntake::_deliver(const void *opaque_record) {
  const rd_kafka_message_t *record = static_cast<const rd_kafka_message_t *>(opaque_record);
  last_activity_ = Clock::now();
  read_next_[record->partition] = own_next_[record->partition] = record->offset + 1;
  wire::MessageView view;
  // One record, one whole message: the decoder checks every length against the record's size,
  // so a record can neither hold two messages nor make the reader step outside it.
  if (record->payload == nullptr ||
      !wire::check_message(static_cast<const uint8_t *>(record->payload), record->len,
                           static_cast<size_t>(record->offset), &view)) {
    const bool looks_json = record->len > 0 && static_cast<const char *>(record->payload)[0] == '{';
    _refuse(record, looks_json ? "a JSON record (the forwarding collector must use "
                                 "--kafka-format wire)"
                               : "not a wire-format message");
    return;
  }
  rd_kafka_headers_t *headers = nullptr;
  const void *peer = nullptr;
  size_t peer_size = 0;
  if (rd_kafka_message_headers(record, &headers) != RD_KAFKA_RESP_ERR_NO_ERROR ||
      rd_kafka_header_get_last(headers, "veska.peer", &peer, &peer_size) !=
          RD_KAFKA_RESP_ERR_NO_ERROR ||
      peer == nullptr) {
    peer_.assign("unknown");
  } else {
    _clean_peer(peer, peer_size, &peer_);
  }
  uint64_t connection = 0;
  auto found = connections_.find(peer_);
  if (found != connections_.end()) {
    connection = found->second;
  } else if (connections_.size() < kConnectionLimit) {
    connection = connections_.size() + 1;
    connections_.emplace(peer_, connection);
  }
  ++counts_.consumed;
  ++counts_.kinds[static_cast<int>(view.kind)];
  const SourcePosition source = {&settings_.topic, record->partition, record->offset};
  Delivery delivery(view, connection, peer_, &source);
  for (const std::unique_ptr<Output> &output : *outputs_) output->deliver(delivery);
  delivered_next_[record->partition] = record->offset + 1;
}

void KafkaIntake::_refuse(const void *opaque_record, const char *reason) {
  const rd_kafka_message_t *record = static_cast<const rd_kafka_message_t *>(opaque_record);
  ++counts_.refused;
  if (!refusals_reported_.insert(reason).second) return;
  fprintf(stderr,
          "veska-collector: kafka consumer: refused the record at %s/%d offset %lld: %s (further "
          "records refused for this reason are only counted)\n",
          settings_.topic.c_str(), static_cast<int>(record->partition),
          static_cast<long long>(record->offset), reason);
}

bool KafkaIntake::_outputs_accepting() const {
  for (const std::unique_ptr<Output> &output : *outputs_) {
    if (!output->accepting()) return false;
  }
  return true;
}

// Each partition starts after the furthest of the store's offset, the group's and this
// consumer's own: the store's covers what this collector wrote before it was killed, the
// group's what another consumer delivered before a rebalance moved the partition here.
void KafkaIntake::_assign(rd_kafka_topic_partition_list_s *partitions) {
  rd_kafka_committed(consumer_, partitions, kCommittedTimeoutMs);
  std::map<int32_t, int64_t> stored;
  std::string error;
  if (settings_.stored_offsets && !settings_.stored_offsets(settings_.topic, &stored, &error)) {
    fprintf(stderr, "veska-collector: kafka consumer: cannot read the store's offsets: %s\n",
            error.c_str());
  }
  for (int i = 0; i < partitions->cnt; ++i) {
    rd_kafka_topic_partition_t *partition = &partitions->elems[i];
    int64_t start = partition->offset >= 0 ? partition->offset : -1;
    committed_[partition->partition] = start;
    auto found = stored.find(partition->partition);
    if (found != stored.end()) start = std::max(start, found->second);
    auto own = own_next_.find(partition->partition);
    if (own != own_next_.end()) start = std::max(start, own->second);
    partition->offset = start >= 0 ? start : RD_KAFKA_OFFSET_BEGINNING;
    if (start >= 0)
      delivered_next_[partition->partition] = read_next_[partition->partition] = start;
  }
  std::string list;
  for (int i = 0; i < partitions->cnt; ++i) {
    list += (i == 0 ? "" : ",") + std::to_string(partitions->elems[i].partition);
  }
  fprintf(stderr, "veska-collector: kafka consumer: assigned partitions [%s] of '%s'\n",
          list.c_str(), settings_.topic.c_str());
  rd_kafka_assign(consumer_, partitions);
}

void KafkaIntake::_revoke() {
  _commit(true);
  delivered_next_.clear();
  read_next_.clear();
  committed_.clear();
}

void KafkaIntake::_commit(bool wait) {
  last_commit_ = Clock::now();
  for (const std::unique_ptr<Output> &output : *outputs_) output->flush();
  // What the outputs hold: everything read, when they write as they are handed messages;
  // with a store, what it has written.
  std::map<int32_t, int64_t> hold = read_next_;
  if (settings_.stored_offsets) {
    const Clock::time_point deadline = Clock::now() + kSettleBound;
    std::map<int32_t, int64_t> stored;
    std::string error;
    for (;;) {
      stored.clear();
      bool settled = settings_.stored_offsets(settings_.topic, &stored, &error);
      for (const auto &entry : delivered_next_) {
        auto found = stored.find(entry.first);
        if (found == stored.end() || found->second < entry.second) settled = false;
      }
      if (settled || !wait || Clock::now() >= deadline) break;
      for (const std::unique_ptr<Output> &output : *outputs_) output->poll();
      std::this_thread::sleep_for(kSettleStep);
    }
    for (auto &entry : hold) {
      auto delivered = delivered_next_.find(entry.first);
      auto found = stored.find(entry.first);
      const bool all_stored = found != stored.end() && delivered != delivered_next_.end() &&
                              found->second >= delivered->second;
      // Refused records after the last stored one are passed over only once the rest is stored.
      if (!all_stored) entry.second = found != stored.end() ? found->second : -1;
    }
  }
  rd_kafka_topic_partition_list_t *list = rd_kafka_topic_partition_list_new(1);
  for (const auto &entry : hold) {
    int64_t &committed = committed_[entry.first];
    if (entry.second < 0 || entry.second <= committed) continue;
    rd_kafka_topic_partition_list_add(list, settings_.topic.c_str(), entry.first)->offset =
        entry.second;
    committed = entry.second;
  }
  if (list->cnt > 0) {
    rd_kafka_resp_err_t err = rd_kafka_commit(consumer_, list, wait ? 0 : 1);
    if (err != RD_KAFKA_RESP_ERR_NO_ERROR &&
        refusals_reported_.insert(std::string("commit ") + rd_kafka_err2name(err)).second) {
      fprintf(stderr, "veska-collector: kafka consumer: cannot commit offsets: %s\n",
              rd_kafka_err2str(err));
    }
  }
  rd_kafka_topic_partition_list_destroy(list);
}

void KafkaIntake::_publish() const {
  Metrics &m = metrics();
  m.kafka_consumed.store(counts_.consumed, std::memory_order_relaxed);
  m.kafka_consume_refused.store(counts_.refused, std::memory_order_relaxed);
}

}  // namespace collector
}  // namespace veska
