// kafka_peer: the ceiling for the collector's forwarding rate. A bare librdkafka producer loop,
// no collector, producing the records the collector makes of N typical events (the same values
// in wire or JSON form, the same keys and headers) to a mock cluster with the producer settings
// given, and printing the acknowledged rate:
//
//   kafka_peer --events 300000 --format wire --property test.mock.num.brokers=3 ...
//
// The clock runs from the first record produced until every record is acknowledged and the
// producer is destroyed, as the collector's run ends with its exit.
#include <librdkafka/rdkafka.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/typical_event.h"
#include "tools/collector/decoding/decoder.h"
#include "tools/collector/outputs/output.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kDistinctEvents = 4096;  // as collector_feed's block

struct Record {
  std::string key;
  std::string value;
};

uint64_t delivered = 0;
uint64_t failed = 0;

void _on_delivery(rd_kafka_t *, const rd_kafka_message_t *report, void *) {
  if (report->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
    ++delivered;
  } else {
    ++failed;
  }
}

int _usage_error(const std::string &message) {
  fprintf(stderr,
          "kafka_peer: %s\nUsage: kafka_peer --events N --format json|wire [--topic T]\n"
          "                  [--property KEY=VALUE]...\n",
          message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  uint64_t events = 300000;
  bool json = true;
  std::string topic = "veska";
  // The peer address the collector would put in its veska.peer header and JSON values.
  const std::string peer = "127.0.0.1:40000";
  rd_kafka_conf_t *conf = rd_kafka_conf_new();
  char text[512];
  // As the collector's producer: idempotent, quiet.
  rd_kafka_conf_set(conf, "enable.idempotence", "true", text, sizeof text);
  rd_kafka_conf_set(conf, "log_level", "0", text, sizeof text);
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i], value = argv[i + 1];
    if (name == "--events") {
      events = strtoull(value.c_str(), nullptr, 10);
    } else if (name == "--format") {
      json = value == "json";
    } else if (name == "--topic") {
      topic = value;
    } else if (name == "--property") {
      size_t equals = value.find('=');
      if (equals == std::string::npos ||
          rd_kafka_conf_set(conf, value.substr(0, equals).c_str(), value.c_str() + equals + 1, text,
                            sizeof text) != RD_KAFKA_CONF_OK) {
        return _usage_error("bad property '" + value + "'");
      }
    } else {
      return _usage_error("unknown option '" + name + "'");
    }
  }
  if (events == 0) return _usage_error("--events must be positive");

  // The records, made before the clock starts: the collector's work on them is what the
  // comparison measures.
  std::vector<Record> records(kDistinctEvents);
  for (size_t i = 0; i < kDistinctEvents; ++i) {
    std::vector<uint8_t> bytes = veska_bench::typical_event(i);
    veska::wire::MessageView view;
    if (!veska::wire::check_message(bytes.data(), bytes.size(), 0, &view)) {
      return _usage_error("the typical event does not decode");
    }
    records[i].key.assign(reinterpret_cast<const char *>(view.transaction_id),
                          view.transaction_id_length);
    if (json) {
      veska::collector::render_json_line(view, 1, peer, &records[i].value);
      records[i].value.pop_back();  // the newline
    } else {
      records[i].value.assign(bytes.begin(), bytes.end());
    }
  }

  rd_kafka_conf_set_dr_msg_cb(conf, _on_delivery);
  rd_kafka_t *producer = rd_kafka_new(RD_KAFKA_PRODUCER, conf, text, sizeof text);
  if (producer == nullptr) return _usage_error(text);
  // Brokers reachable before the clock starts, as they are by the time the collector is ready.
  const rd_kafka_metadata_t *metadata = nullptr;
  if (rd_kafka_metadata(producer, 0, nullptr, &metadata, 10000) == RD_KAFKA_RESP_ERR_NO_ERROR) {
    rd_kafka_metadata_destroy(metadata);
  }

  const Clock::time_point start = Clock::now();
  for (uint64_t n = 0; n < events; ++n) {
    const Record &record = records[n % kDistinctEvents];
    for (;;) {
      rd_kafka_resp_err_t err = rd_kafka_producev(
          producer, RD_KAFKA_V_TOPIC(topic.c_str()), RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY),
          RD_KAFKA_V_KEY(record.key.data(), record.key.size()),
          RD_KAFKA_V_VALUE(const_cast<char *>(record.value.data()), record.value.size()),
          RD_KAFKA_V_HEADER("veska.kind", "event", -1),
          RD_KAFKA_V_HEADER("veska.peer", peer.data(), static_cast<ssize_t>(peer.size())),
          RD_KAFKA_V_END);
      if (err == RD_KAFKA_RESP_ERR_NO_ERROR) break;
      if (err != RD_KAFKA_RESP_ERR__QUEUE_FULL) {
        ++failed;
        break;
      }
      rd_kafka_poll(producer, 100);
    }
    if (n % 1024 == 0) rd_kafka_poll(producer, 0);
  }
  rd_kafka_flush(producer, 120000);
  rd_kafka_destroy(producer);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  printf("peer produced %llu records (%s) in %.2f s: %.0f records/s; delivered %llu, failed %llu\n",
         static_cast<unsigned long long>(events), json ? "json" : "wire", seconds, events / seconds,
         static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(failed));
  return delivered == events ? 0 : 1;
}
