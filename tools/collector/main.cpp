// veska-collector: a collector for tests, diagnostics and small deployments. The TCP intake
// decodes every client stream strictly and hands each message to the outputs: one JSON object
// per message (JSON Lines), flushed whenever everything waiting has been read, and any
// forwarder.
//
// Exit status: 0 normally, 1 when a client sent a protocol error, 2 when it could not start
// (bad options, an address it cannot listen on, files it cannot use), 3 when an output counted
// messages it could not write or deliver, 4 when a fatal error stopped the intake.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/collector/http/bearer_token.h"
#include "tools/collector/http/http_server.h"
#include "tools/collector/intake/kafka_intake.h"
#include "tools/collector/intake/tcp_intake.h"
#include "tools/collector/metrics/metrics.h"
#include "tools/collector/options.h"
#include "tools/collector/outputs/json_lines.h"
#include "tools/collector/outputs/kafka_output.h"
#include "tools/collector/outputs/output.h"
#include "tools/collector/outputs/output_file.h"
#include "tools/collector/store/consumer_offsets.h"
#include "tools/collector/store/sqlite_reader.h"
#include "tools/collector/store/store_output.h"

namespace {

using Json = nlohmann::ordered_json;
using Seconds = std::chrono::duration<double>;
using veska::collector::Clock;
using veska::collector::IntakeCounts;
using veska::collector::KafkaIntake;
using veska::collector::Options;
using veska::collector::Output;
using veska::collector::OutputFile;
using veska::collector::TcpIntake;
namespace wire = veska::wire;

// How long the outputs may take at exit to deliver what they still hold.
constexpr double kFinishSeconds = 5;
// Each turn of the loop waits at most this long for the topic's records, and takes at most so
// many of them before it looks at the sockets again.
constexpr int kKafkaPollMs = 20;
constexpr size_t kKafkaRecordsPerTurn = 65536;

constexpr int kExitProtocolError = 1;
constexpr int kExitCannotStart = 2;
constexpr int kExitRecordsFailed = 3;
constexpr int kExitIntakeFailed = 4;

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t reopen_requested = 0;

void _on_signal(int) { stop_requested = stop_requested + 1; }
void _on_hangup(int) { reopen_requested = 1; }

void _install_signal_handlers() {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = _on_signal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  action.sa_handler = _on_hangup;
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// SIGHUP: the usual request after a rotation. A file that cannot be reopened is reported and
// the old one kept, so nothing is lost either way.
void _reopen_output(OutputFile *file, veska::collector::JsonLinesOutput *json) {
  if (file == nullptr || json == nullptr) return;
  json->flush();
  std::string error;
  if (!file->reopen(&error)) {
    fprintf(stderr, "veska-collector: %s; still writing the previous file\n", error.c_str());
    return;
  }
  json->set_file(file->stream());
}

// The exit status once everything is written: the gravest thing that happened.
int _exit_status(bool intake_failed, const IntakeCounts &counts,
                 const std::vector<std::unique_ptr<Output>> &outputs) {
  if (intake_failed) return kExitIntakeFailed;
  uint64_t failed = veska::collector::metrics().store_write_failures.load();
  for (const std::unique_ptr<Output> &output : outputs) failed += output->failed();
  if (failed != 0) return kExitRecordsFailed;
  if (counts.protocol_errors != 0) return kExitProtocolError;
  return 0;
}

// Written under a temporary name and renamed, so a reader never sees a partial address. The
// HTTP server's address, when it serves, is a second line "http HOST:PORT".
bool _write_ready_file(const std::string &path, const char *address,
                       const veska::http::HttpServer *http) {
  std::string temporary = path + ".tmp." + std::to_string(getpid());
  FILE *file = fopen(temporary.c_str(), "w");
  if (file == nullptr) return false;
  bool ok = fprintf(file, "%s\n", address) > 0;
  if (ok && http != nullptr) ok = fprintf(file, "http %s\n", http->address().c_str()) > 0;
  ok = fclose(file) == 0 && ok;
  if (ok) ok = rename(temporary.c_str(), path.c_str()) == 0;
  const int reason = errno;  // for the caller's message
  if (!ok) unlink(temporary.c_str());
  errno = reason;
  return ok;
}

void _print_summary(const IntakeCounts &counts, const KafkaIntake *kafka_intake,
                    const std::vector<std::unique_ptr<Output>> &outputs) {
  Json summary = Json::object();
  summary["connections"] = counts.connections;
  summary["protocol_errors"] = counts.protocol_errors;
  summary["refused"] = counts.refused;
  summary["timed_out"] = counts.timed_out;
  summary["bytes"] = counts.bytes;
  Json messages = Json::object();
  messages["register"] = counts.kinds[static_cast<int>(wire::MessageKind::kRegister)];
  messages["event"] = counts.kinds[static_cast<int>(wire::MessageKind::kEvent)];
  messages["statistics"] = counts.kinds[static_cast<int>(wire::MessageKind::kStatistics)];
  messages["heartbeat"] = counts.kinds[static_cast<int>(wire::MessageKind::kHeartbeat)];
  summary["messages"] = messages;
  if (kafka_intake != nullptr) {
    Json consumer = Json::object();
    consumer["consumed"] = kafka_intake->counts().consumed;
    consumer["refused"] = kafka_intake->counts().refused;
    summary["kafka_consumer"] = consumer;
  }
  for (const std::unique_ptr<Output> &output : outputs) output->summarise(&summary);
  fprintf(stderr, "%s\n", summary.dump().c_str());
}

// Lets the process hold --max-connections sockets and a few more, as far as the hard limit
// allows; beyond that, running out of descriptors is handled at accept.
void _raise_descriptor_limit(uint64_t connections) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  rlim_t wanted = static_cast<rlim_t>(connections + 64);
  if (limit.rlim_max != RLIM_INFINITY && wanted > limit.rlim_max) wanted = limit.rlim_max;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    limit.rlim_cur = wanted;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// Null, with the reason on standard error, when the server cannot start.
std::unique_ptr<veska::http::HttpServer> _start_http(const Options &options,
                                                     veska::store::TransactionReader *reader) {
  veska::http::ServerSettings settings;
  settings.address = options.http;
  settings.reader = reader;
  std::string error;
  if (!options.http_token_file.empty() &&
      !veska::http::read_token_file(options.http_token_file, &settings.token, &error)) {
    fprintf(stderr, "veska-collector: %s\n", error.c_str());
    return nullptr;
  }
  std::unique_ptr<veska::http::HttpServer> server =
      veska::http::HttpServer::start(settings, &error);
  if (!server) {
    fprintf(stderr, "veska-collector: %s\n", error.c_str());
  } else if (!server->loopback() && settings.token.empty()) {
    fprintf(stderr,
            "veska-collector: warning: HTTP on %s can be reached from other machines and "
            "anyone there can read every transaction; give --http-token-file to require a "
            "token\n",
            server->address().c_str());
  }
  return server;
}

veska::collector::IntakeSettings _intake_settings(const Options &options) {
  veska::collector::IntakeSettings settings;
  settings.listen = options.listen;
  settings.count = options.count;
  settings.close_after = options.close_after;
  settings.close_connections = options.close_connections;
  settings.max_connections = options.max_connections;
  settings.client_timeout = options.client_timeout;
  return settings;
}

veska::collector::KafkaIntakeSettings _kafka_intake_settings(const Options &options) {
  veska::collector::KafkaIntakeSettings settings;
  settings.brokers = options.kafka_consume;
  settings.topic = options.kafka.topic;
  settings.group = options.kafka_group.empty() ? "veska-collector" : options.kafka_group;
  settings.properties = options.kafka.properties;
  if (!options.store.empty()) {
    const std::string store = options.store;
    settings.stored_offsets = [store](const std::string &topic,
                                      std::map<int32_t, int64_t> *next_offsets,
                                      std::string *error) {
      return veska::store::load_consumer_offsets(store, topic, next_offsets, error);
    };
  }
  return settings;
}

}  // namespace

int main(int argc, char **argv) {
  // Standard output may carry the JSON lines: keep the library's own diagnostics off it
  // unless the user asked for them.
  setenv("QIVA_LOGGER_DISABLE", "1", 0);

  Options options;
  int status = veska::collector::parse_options(argc, argv, &options);
  if (status >= 0) return status;
  _install_signal_handlers();

  // Every check that can refuse comes before the output file is opened, so that a refused
  // start leaves an existing file as it was.
  std::vector<std::unique_ptr<Output>> outputs;
  if (options.kafka.enabled()) {
    std::string error;
    std::unique_ptr<Output> kafka = veska::kafka::KafkaOutput::create(options.kafka, &error);
    if (!kafka) {
      fprintf(stderr, "veska-collector: %s\n", error.c_str());
      return kExitCannotStart;
    }
    outputs.push_back(std::move(kafka));
  }
  std::unique_ptr<veska::store::TransactionReader> reader;  // what the HTTP API reads
  if (!options.store.empty()) {
    std::string error;
    bool refused = false;
    veska::store::StoreSettings store_settings;
    store_settings.retain_bytes = options.retain_bytes;
    store_settings.retain_age = options.retain_age;
    store_settings.stuck_after = options.stuck_after;
    std::unique_ptr<Output> store =
        veska::store::StoreOutput::create(options.store, store_settings, &error, &refused);
    if (!store) {
      fprintf(stderr, "veska-collector: %s\n", error.c_str());
      return kExitCannotStart;
    }
    outputs.push_back(std::move(store));
    if (!options.http.empty()) {
      reader = veska::store::open_transaction_reader(options.store, store_settings, &error);
      if (!reader) {
        fprintf(stderr, "veska-collector: %s\n", error.c_str());
        return kExitCannotStart;
      }
    }
  }
  _raise_descriptor_limit(options.max_connections);

  std::unique_ptr<TcpIntake> intake(new TcpIntake(_intake_settings(options), &outputs));
  std::string error;
  if (!intake->listen(&error)) {
    fprintf(stderr, "veska-collector: %s\n", error.c_str());
    return kExitCannotStart;
  }
  std::unique_ptr<KafkaIntake> kafka_intake;
  if (!options.kafka_consume.empty()) {
    kafka_intake = KafkaIntake::create(_kafka_intake_settings(options), &outputs, &error);
    if (!kafka_intake) {
      fprintf(stderr, "veska-collector: %s\n", error.c_str());
      return 2;
    }
  }
  std::unique_ptr<veska::http::HttpServer> http;
  if (!options.http.empty()) {
    http = _start_http(options, reader.get());
    if (!http) return kExitCannotStart;
  }
  std::unique_ptr<OutputFile> output_file;
  if (!options.output.empty()) {
    output_file.reset(new OutputFile);
    if (!output_file->open(options.output, &error)) {
      fprintf(stderr, "veska-collector: %s\n", error.c_str());
      return kExitCannotStart;
    }
  }
  veska::collector::JsonLinesOutput *json = nullptr;
  if (!options.quiet) {
    json = new veska::collector::JsonLinesOutput(output_file ? output_file->stream() : stdout);
    outputs.emplace(outputs.begin(), json);
  }
  if (!options.ready_file.empty() &&
      !_write_ready_file(options.ready_file, intake->address(), http.get())) {
    fprintf(stderr, "veska-collector: cannot write ready file '%s': %s\n",
            options.ready_file.c_str(), strerror(errno));
    return kExitCannotStart;
  }

  int loop_status = 0;
  Clock::time_point last_sweep = Clock::now();
  while (stop_requested == 0 && !intake->done()) {
    // Short passes keep signals, --count, --idle-exit and time-outs responsive. With a topic to
    // read, the sockets get a quick look and the consumer the wait.
    if (!intake->turn(kafka_intake ? 1000 : 100000)) {
      loop_status = 1;
      break;
    }
    if (kafka_intake) kafka_intake->poll(kKafkaPollMs, kKafkaRecordsPerTurn);
    if (reopen_requested != 0) {
      reopen_requested = 0;
      _reopen_output(output_file.get(), json);
    }
    const Clock::time_point now = Clock::now();
    if (now - last_sweep >= std::chrono::milliseconds(100)) {
      last_sweep = now;
      intake->close_silent(now);
    }
    if (options.idle_exit > 0) {
      Clock::time_point last = intake->last_activity();
      if (kafka_intake) last = std::max(last, kafka_intake->last_activity());
      Seconds idle = now - last;
      if (idle.count() >= options.idle_exit) break;
    }
  }
  if (loop_status == 0 && stop_requested != 0 && !intake->done() &&
      !intake->drain(&stop_requested)) {
    loop_status = 1;
  }

  http.reset();
  intake->close_all();
  // Commits what the outputs hold, so that the next consumer of these partitions starts after it.
  if (kafka_intake) kafka_intake->close();
  const IntakeCounts counts = intake->counts();
  intake.reset();
  for (const std::unique_ptr<Output> &output : outputs) output->finish(kFinishSeconds);
  if (options.summary) _print_summary(counts, kafka_intake.get(), outputs);
  kafka_intake.reset();
  const int status_at_exit = _exit_status(loop_status != 0, counts, outputs);
  outputs.clear();
  output_file.reset();
  return status_at_exit;
}
