// The collector's Kafka intake: reads a topic that collectors forwarded to in the wire format and
// hands every record to the outputs as the message it carries, with the client's identity from
// the record's veska.peer header. Records that are not one whole wire-format message (JSON
// records, anything else) are refused and counted; reading goes on. Runs on the collector's main
// thread, polled from its loop.
//
// Where each partition starts: the store's offsets when the collector has a store (it writes
// them in the same transaction as the events they cover), or the group's committed offsets,
// whichever is further; the beginning when neither has one. Offsets are committed to the group
// only once the outputs hold what they cover: so a consumer killed at any moment resumes exactly
// after what its store holds, and a partition that moves to another consumer in a rebalance
// starts after what the first one delivered.
#ifndef VESKA_TOOLS_COLLECTOR_INTAKE_KAFKA_INTAKE_H
#define VESKA_TOOLS_COLLECTOR_INTAKE_KAFKA_INTAKE_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/collector/outputs/output.h"

struct rd_kafka_s;
struct rd_kafka_topic_partition_list_s;

namespace veska {
namespace collector {

// The next offset to read per partition of topic, as durably held by the store; false with the
// reason in *error when the store cannot be read.
using StoredOffsets = std::function<bool(
    const std::string &topic, std::map<int32_t, int64_t> *next_offsets, std::string *error)>;

struct KafkaIntakeSettings {
  std::string brokers;
  std::string topic;
  std::string group;
  // Empty when the collector has no store: the group's offsets are then committed as soon as the
  // outputs have flushed what was delivered.
  StoredOffsets stored_offsets;
  // Consumer properties in the order given; they override the defaults set here.
  std::vector<std::pair<std::string, std::string>> properties;
};

// What the intake has seen, for --summary.
struct KafkaIntakeCounts {
  uint64_t consumed = 0;  // records delivered to the outputs
  uint64_t refused = 0;   // records that were not a wire-format message
  uint64_t kinds[4] = {0, 0, 0, 0};
};

class KafkaIntake {
 public:
  // Creates the consumer and subscribes to the topic. Null with the reason in *error when a
  // property is refused or no consumer can be made. outputs must outlive the intake.
  static std::unique_ptr<KafkaIntake> create(const KafkaIntakeSettings &settings,
                                             std::vector<std::unique_ptr<Output>> *outputs,
                                             std::string *error);
  ~KafkaIntake();  // leaves the group: close() first to commit what the outputs hold
  KafkaIntake(const KafkaIntake &) = delete;
  KafkaIntake &operator=(const KafkaIntake &) = delete;

  // Hands the outputs the records that are ready, at most max_records and while every output
  // accepts; waits at most timeout_ms for the first. Commits delivered offsets now and then.
  void poll(int timeout_ms, size_t max_records);
  // Commits what the outputs hold and leaves the group (its partitions go to the others).
  void close();

  const KafkaIntakeCounts &counts() const { return counts_; }
  std::chrono::steady_clock::time_point last_activity() const { return last_activity_; }

 private:
  KafkaIntake(const KafkaIntakeSettings &settings, std::vector<std::unique_ptr<Output>> *outputs)
      : settings_(settings), outputs_(outputs) {}
  friend struct KafkaIntakeCallbacks;
  void _assign(rd_kafka_topic_partition_list_s *partitions);
  void _revoke();
  void _deliver(const void *record);
  void _refuse(const void *record, const char *reason);
  bool _outputs_accepting() const;
  // Commits the offsets the outputs hold; with wait, synchronously and after the store has
  // written what was delivered (bounded).
  void _commit(bool wait);
  void _publish() const;

  KafkaIntakeSettings settings_;
  std::vector<std::unique_ptr<Output>> *outputs_;
  rd_kafka_s *consumer_ = nullptr;
  bool closed_ = false;
  // Per assigned partition: the next offset after the last record handed to the outputs, and
  // after the last one read at all (refused records included).
  std::map<int32_t, int64_t> delivered_next_;
  std::map<int32_t, int64_t> read_next_;
  std::map<int32_t, int64_t> committed_;
  // The next offset after the last record this consumer read, per partition it ever held: kept
  // across rebalances, because a commit made while the group rebalances can be refused, and
  // a partition that comes back must not be read again from the group's older offset.
  std::map<int32_t, int64_t> own_next_;
  // A connection number per client, in the order the intake first sees them.
  std::map<std::string, uint64_t> connections_;
  std::string peer_;  // the current record's, cleaned
  std::set<std::string> refusals_reported_;
  KafkaIntakeCounts counts_;
  std::chrono::steady_clock::time_point last_commit_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_activity_ = std::chrono::steady_clock::now();
};

}  // namespace collector
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_INTAKE_KAFKA_INTAKE_H
