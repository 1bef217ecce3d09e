// Prometheus text rendering of the collector's counters.
#include "tools/collector/http/metrics_text.h"

namespace veska {
namespace http {
namespace {

using Counter = collector::Metrics::Counter;

void _family(std::string *out, const char *name, const char *type, const char *help) {
  *out += "# HELP ";
  *out += name;
  *out += ' ';
  *out += help;
  *out += "\n# TYPE ";
  *out += name;
  *out += ' ';
  *out += type;
  *out += '\n';
}

void _sample(std::string *out, const char *name, const char *labels, const Counter &value) {
  *out += name;
  *out += labels;
  *out += ' ';
  *out += std::to_string(value.load(std::memory_order_relaxed));
  *out += '\n';
}

void _single(std::string *out, const char *name, const char *type, const char *help,
             const Counter &value) {
  _family(out, name, type, help);
  _sample(out, name, "", value);
}

}  // namespace

const char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

std::string render_metrics(const collector::Metrics &m) {
  std::string out;
  out.reserve(4096);
  // The labels follow wire::MessageKind's order.
  _family(&out, "veska_collector_messages_total", "counter",
          "Messages decoded from client streams, by kind.");
  _sample(&out, "veska_collector_messages_total", "{kind=\"register\"}", m.messages[0]);
  _sample(&out, "veska_collector_messages_total", "{kind=\"event\"}", m.messages[1]);
  _sample(&out, "veska_collector_messages_total", "{kind=\"statistics\"}", m.messages[2]);
  _sample(&out, "veska_collector_messages_total", "{kind=\"heartbeat\"}", m.messages[3]);
  _single(&out, "veska_collector_protocol_errors_total", "counter",
          "Client streams closed because they broke the wire protocol.", m.protocol_errors);
  _single(&out, "veska_collector_connections_total", "counter", "Client connections accepted.",
          m.connections);
  _single(&out, "veska_collector_open_connections", "gauge", "Client connections open now.",
          m.open_connections);
  _single(&out, "veska_collector_connections_refused_total", "counter",
          "Client connections refused at the connection limit.", m.refused);
  _single(&out, "veska_collector_connections_timed_out_total", "counter",
          "Client connections closed after the client time-out without traffic.", m.timed_out);
  _single(&out, "veska_collector_received_bytes_total", "counter",
          "Bytes read from client connections.", m.bytes);
  _single(&out, "veska_collector_store_rows_written_total", "counter",
          "Events written to the transaction store.", m.store_rows_written);
  _single(&out, "veska_collector_store_write_failures_total", "counter",
          "Events the transaction store could not write.", m.store_write_failures);
  _single(&out, "veska_collector_store_queued_events", "gauge",
          "Events waiting for the store's writer: how far the store lags behind the intake.",
          m.store_queued);
  _single(&out, "veska_collector_store_batches_total", "counter",
          "Batches (one database transaction each) the store's writer committed.", m.store_batches);
  _single(&out, "veska_collector_store_retention_deleted_total", "counter",
          "Transactions removed from the store by retention.", m.store_retention_deleted);
  _single(&out, "veska_collector_kafka_delivered_total", "counter",
          "Records the Kafka output saw delivered.", m.kafka_delivered);
  _single(&out, "veska_collector_kafka_failed_total", "counter",
          "Records the Kafka output could not deliver.", m.kafka_failed);
  _single(&out, "veska_collector_kafka_consumed_total", "counter",
          "Messages read back from a Kafka topic.", m.kafka_consumed);
  _single(&out, "veska_collector_kafka_consume_refused_total", "counter",
          "Kafka records read back that were not wire-format messages.", m.kafka_consume_refused);
  return out;
}

}  // namespace http
}  // namespace veska
