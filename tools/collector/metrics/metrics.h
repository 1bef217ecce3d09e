// The collector's counters as the HTTP thread reads them (/metrics) while the intake, the
// outputs and the store writer update them from their own threads. Each stage keeps its plain
// counts where it works and publishes them here with relaxed stores (once per turn of its loop,
// or as it goes): a reader sees a recent value of each counter, never a torn one.
#ifndef VESKA_TOOLS_COLLECTOR_METRICS_METRICS_H
#define VESKA_TOOLS_COLLECTOR_METRICS_METRICS_H

#include <atomic>
#include <cstdint>

namespace veska {
namespace collector {

struct Metrics {
  using Counter = std::atomic<uint64_t>;
  // TCP intake.
  Counter messages[4] = {{0}, {0}, {0}, {0}};  // by wire::MessageKind
  Counter protocol_errors{0};
  Counter connections{0};  // accepted
  Counter refused{0};
  Counter timed_out{0};
  Counter bytes{0};
  Counter open_connections{0};  // a gauge
  // The transaction store.
  Counter store_rows_written{0};    // events written
  Counter store_write_failures{0};  // events that could not be written (counted, not lost silently)
  Counter store_queued{0};          // events waiting for the writer: the store's lag (a gauge)
  Counter store_batches{0};
  Counter store_retention_deleted{0};  // transactions removed by retention
  // Kafka output.
  Counter kafka_delivered{0};
  Counter kafka_failed{0};
  // Kafka consumer.
  Counter kafka_consumed{0};
  Counter kafka_consume_refused{0};  // records that are not wire-format messages
};

// The process's one set of counters.
Metrics &metrics();

}  // namespace collector
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_METRICS_METRICS_H
