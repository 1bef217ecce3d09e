// The Kafka output of veska-collector. The producer's delivery reports and error events go to
// its main queue, which only poll() and flush() serve, so the counters and the set of logged
// causes are touched by the collector's thread alone and need no lock.
#include "tools/collector/outputs/kafka_forwarder.h"

#include <librdkafka/rdkafka.h>
#include <stdio.h>

#include "tools/collector/outputs/kafka_config.h"

namespace veska {
namespace kafka {

namespace {

// A full queue waits for room only while the last delivery is more recent than this.
constexpr int kStallMs = 2000;
constexpr uint64_t kRecordsPerServe = 1024;

}  // namespace

bool is_option(const std::string &name) {
  return name == "--kafka-brokers" || name == "--kafka-topic" || name == "--kafka-format" ||
         name == "--kafka-property";
}

bool set_option(const std::string &name, const std::string &value, Options *options,
                std::string *error) {
  if (value.empty()) {
    *error = "option '" + name + "' needs a value";
    return false;
  }
  options->given = true;
  if (name == "--kafka-brokers") {
    options->brokers = value;
  } else if (name == "--kafka-topic") {
    options->topic = value;
  } else if (name == "--kafka-format") {
    if (value == "json") {
      options->format = Format::kJson;
    } else if (value == "wire") {
      options->format = Format::kWire;
    } else {
      *error = "option '--kafka-format' takes json or wire, not '" + value + "'";
      return false;
    }
  } else if (name == "--kafka-property") {
    size_t equals = value.find('=');
    if (equals == std::string::npos || equals == 0) {
      *error = "option '--kafka-property' needs KEY=VALUE, not '" + value + "'";
      return false;
    }
    options->properties.emplace_back(value.substr(0, equals), value.substr(equals + 1));
  } else {
    *error = "unknown option '" + name + "'";
    return false;
  }
  return true;
}

bool check_options(const Options &options, std::string *error) {
  if (options.given && !options.enabled()) {
    *error = "the Kafka options need --kafka-brokers";
    return false;
  }
  return true;
}

std::unique_ptr<Forwarder> Forwarder::create(const Options &options, std::string *error) {
  std::unique_ptr<Forwarder> forwarder(new Forwarder);
  forwarder->topic_ = options.topic;
  forwarder->format_ = options.format;

  // Idempotence gives ordered delivery without duplicates per partition, through retries and
  // broker outages. librdkafka's own log lines are off (its errors reach _on_error, which logs
  // each cause once); a log_level or debug property turns them back on.
  rd_kafka_conf_t *conf = make_conf(
      {{"bootstrap.servers", options.brokers}, {"enable.idempotence", "true"}, {"log_level", "0"}},
      options.properties, error);
  if (conf == nullptr) return nullptr;
  rd_kafka_conf_set_opaque(conf, forwarder.get());
  rd_kafka_conf_set_dr_msg_cb(conf, &Forwarder::_on_delivery);
  rd_kafka_conf_set_error_cb(conf, &Forwarder::_on_error);

  char text[kErrorTextSize];
  // rd_kafka_new owns conf on success only.
  forwarder->producer_ = rd_kafka_new(RD_KAFKA_PRODUCER, conf, text, sizeof text);
  if (forwarder->producer_ == nullptr) {
    rd_kafka_conf_destroy(conf);
    *error = std::string("cannot create the Kafka producer: ") + text;
    return nullptr;
  }
  return forwarder;
}

Forwarder::~Forwarder() {
  if (producer_ != nullptr) rd_kafka_destroy(producer_);
}

void Forwarder::forward(wire::MessageKind kind, const std::string &peer,
                        const uint8_t *transaction_id, size_t transaction_id_size,
                        const void *value, size_t size) {
  const void *key = peer.data();
  size_t key_size = peer.size();
  if (kind == wire::MessageKind::kEvent) {
    key = transaction_id;
    key_size = transaction_id != nullptr ? transaction_id_size : 0;
  }
  const char *kind_name = wire::message_kind_name(kind);
  ++forwarded_;
  rd_kafka_resp_err_t err = RD_KAFKA_RESP_ERR_NO_ERROR;
  for (;;) {
    err = rd_kafka_producev(
        producer_, RD_KAFKA_V_TOPIC(topic_.c_str()), RD_KAFKA_V_MSGFLAGS(RD_KAFKA_MSG_F_COPY),
        RD_KAFKA_V_KEY(const_cast<void *>(key), key_size),
        RD_KAFKA_V_VALUE(const_cast<void *>(value), size),
        RD_KAFKA_V_HEADER("veska.kind", kind_name, -1),
        RD_KAFKA_V_HEADER("veska.peer", peer.data(), static_cast<ssize_t>(peer.size())),
        RD_KAFKA_V_END);
    if (err != RD_KAFKA_RESP_ERR__QUEUE_FULL) break;
    // The queue empties as reports are served. While the brokers take records, wait for room:
    // a burst then slows the reading of clients (and the clients) instead of failing records.
    // When nothing has been delivered for a while (brokers away), fail at once until they are
    // back, so that the collector keeps reading.
    if (Clock::now() - last_delivery_ >= std::chrono::milliseconds(kStallMs)) break;
    rd_kafka_poll(producer_, 100);
  }
  if (err != RD_KAFKA_RESP_ERR_NO_ERROR) _failure(err, rd_kafka_err2str(err));
  // A turn of the intake can read tens of thousands of messages; serving reports as they come
  // keeps librdkafka's report queue short instead of handing it one large batch to free.
  if (forwarded_ % kRecordsPerServe == 0) rd_kafka_poll(producer_, 0);
}

void Forwarder::poll() { rd_kafka_poll(producer_, 0); }

void Forwarder::flush(int timeout_ms) {
  rd_kafka_flush(producer_, timeout_ms);
  if (delivered_ + failed_ == forwarded_) return;
  // Purged records get their reports (with a purge error) on the next serve of the queue.
  rd_kafka_purge(producer_, RD_KAFKA_PURGE_F_QUEUE | RD_KAFKA_PURGE_F_INFLIGHT);
  for (int i = 0; i < 50 && delivered_ + failed_ < forwarded_; ++i) rd_kafka_poll(producer_, 100);
  // Reports that never came are records that never arrived.
  if (delivered_ + failed_ < forwarded_) {
    _failure(RD_KAFKA_RESP_ERR__TIMED_OUT, "no delivery report before exit");
    failed_ += forwarded_ - delivered_ - failed_ - 1;
  }
}

void Forwarder::_on_delivery(rd_kafka_s *, const rd_kafka_message_s *report, void *opaque) {
  Forwarder *self = static_cast<Forwarder *>(opaque);
  if (report->err == RD_KAFKA_RESP_ERR_NO_ERROR) {
    ++self->delivered_;
    self->last_delivery_ = Clock::now();
  } else {
    self->_failure(report->err, rd_kafka_err2str(report->err));
  }
}

// Producer-wide errors: brokers down, authentication, a fatal idempotence error. Records are
// not lost by these (their reports say what became of them), so only the first of each kind
// is logged.
void Forwarder::_on_error(rd_kafka_s *rk, int err, const char *reason, void *opaque) {
  Forwarder *self = static_cast<Forwarder *>(opaque);
  if (!self->errors_reported_.insert(err).second) return;
  char fatal[kErrorTextSize];
  if (err == RD_KAFKA_RESP_ERR__FATAL &&
      rd_kafka_fatal_error(rk, fatal, sizeof fatal) != RD_KAFKA_RESP_ERR_NO_ERROR) {
    reason = fatal;
  }
  fprintf(stderr, "veska-collector: kafka: %s\n", reason);
}

void Forwarder::_failure(int err, const char *text) {
  ++failed_;
  if (!failures_reported_.insert(err).second) return;
  fprintf(stderr,
          "veska-collector: kafka: a record for topic '%s' failed: %s (further failures of this "
          "cause are only counted)\n",
          topic_.c_str(), text);
}

}  // namespace kafka
}  // namespace veska
