// veska-collector: a collector for tests and diagnostics. It listens through the library's own
// TCP module, serves any number of client connections from one dispatch loop, decodes every
// stream strictly and hands each message to its outputs: one JSON object per message (JSON
// Lines), flushed whenever everything waiting has been read.
//
// Exit status: 0 normally, 1 when a protocol error was seen (or the loop failed), 2 for bad
// options or an address it cannot listen on.
#include <errno.h>
#include <fcntl.h>
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

#include "lib/transport/transport.h"
#include "lib/vecommon/ve_types.h"
#include "tools/collector/decoder.h"
#include "tools/collector/json_lines.h"
#include "tools/collector/kafka_output.h"
#include "tools/collector/output.h"
#include "types.h"

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;
namespace wire = veska::wire;
using veska::collector::Delivery;
using veska::collector::Output;

const char kUsage[] =
    "Usage: veska-collector [options]\n"
    "Listens for veska client connections, decodes every stream strictly and writes one JSON\n"
    "object per message (JSON Lines).\n"
    "\n"
    "  --listen ADDR        address to listen on (default 127.0.0.1:5455; port 0: any)\n"
    "  --output FILE        write the JSON lines to FILE instead of standard output\n"
    "  --count N            exit (status 0) after N events\n"
    "  --idle-exit SECONDS  exit after SECONDS without a connection or data\n"
    "  --summary            print counts as one JSON object to standard error on exit\n"
    "  --quiet              decode and count only; write no JSON lines\n"
    "  --ready-file FILE    once listening, write the bound address HOST:PORT to FILE\n"
    "  --close-after BYTES  close each of the first --close-connections connections after\n"
    "                       reading BYTES bytes from it (tests of lost connections)\n"
    "  --close-connections N  how many connections --close-after applies to (default 1)\n"
    "  --max-connections N  serve at most N connections at once; close further ones at once\n"
    "                       (default 1000)\n"
    "  --client-timeout SECONDS  close a connection that sends nothing for SECONDS\n"
    "                       (default 300)\n"
    "  --kafka-brokers LIST also forward every message to Kafka: bootstrap servers\n"
    "                       HOST:PORT[,HOST:PORT...]\n"
    "  --kafka-topic TOPIC  the Kafka topic (default veska)\n"
    "  --kafka-format json|wire  record value: the JSON line (default) or the message bytes\n"
    "  --kafka-property K=V any librdkafka producer property (repeatable)\n"
    "  --help               show this text\n"
    "\n"
    "SIGINT or SIGTERM: stop accepting, read every connection until it has been quiet for\n"
    "1.2 s (at most 5 s in all), write everything, exit. A second signal exits at once.\n"
    "\n"
    "Exit status: 0 done, 1 a protocol error was seen, 2 bad options or cannot listen.\n";

// How long a connection must stay quiet after a stop signal before it is closed: longer than
// the second a client lets small amounts of data wait before sending them.
constexpr double kDrainQuietSeconds = 1.2;
constexpr double kDrainBoundSeconds = 5;
// A failed accept that the spare descriptor cannot clear pauses accepting this long.
constexpr double kAcceptPauseSeconds = 0.1;
constexpr size_t kReadBufferSize = 256 * 1024;
// Reads per connection and pass, so that one busy connection cannot starve the others.
constexpr int kReadsPerPass = 16;

volatile sig_atomic_t stop_requested = 0;

void _on_signal(int) { stop_requested = stop_requested + 1; }

struct Options {
  std::string listen = "127.0.0.1:5455";
  std::string output;
  std::string ready_file;
  uint64_t count = 0;  // 0: no limit
  double idle_exit = 0;
  bool summary = false;
  bool quiet = false;
  uint64_t close_after = 0;  // 0: never
  uint64_t close_connections = 1;
  uint64_t max_connections = 1000;
  double client_timeout = 300;
  veska::kafka::Options kafka;
};

struct Connection {
  transport_endpoint_t endpoint;  // registered with the transport: its address must not move
  uint64_t id = 0;
  std::string peer;
  wire::StreamDecoder decoder;
  uint64_t received = 0;
  bool close_after = false;
  Clock::time_point last_data;
};

struct Collector : public wire::MessageVisitor {
  Options options;
  transport_instance_t transport;
  transport_endpoint_t listener;
  bool listening = false;
  std::map<transport_endpoint_t *, std::unique_ptr<Connection>> connections;
  // Closed during a dispatch pass; freed once the pass has returned.
  std::vector<std::unique_ptr<Connection>> retired;
  std::vector<std::unique_ptr<Output>> outputs;
  FILE *out = nullptr;
  std::unique_ptr<uint8_t[]> buffer{new uint8_t[kReadBufferSize]};
  Connection *reading = nullptr;  // the connection whose bytes are being decoded
  uint64_t next_id = 0;
  uint64_t protocol_errors = 0;
  uint64_t refused = 0;
  uint64_t timed_out = 0;
  uint64_t bytes = 0;
  uint64_t kinds[4] = {0, 0, 0, 0};
  bool done = false;
  int spare_descriptor = -1;  // given up to accept (and close) a connection when out of them
  Clock::time_point accept_paused_until;
  Clock::time_point last_activity = Clock::now();

  // Every decoded message: counted, then handed to the outputs until --count is reached.
  void visit(const wire::MessageView &message) override {
    if (done) return;
    ++kinds[static_cast<int>(message.kind)];
    if (!outputs.empty()) {
      Delivery delivery(message, reading->id, reading->peer);
      for (const std::unique_ptr<Output> &output : outputs) output->deliver(delivery);
    }
    if (message.kind == wire::MessageKind::kEvent && options.count != 0 &&
        kinds[static_cast<int>(wire::MessageKind::kEvent)] >= options.count) {
      done = true;
    }
  }
};

Collector *collector = nullptr;

// ---- Connections ---------------------------------------------------------------------------

void _close(Collector *c, transport_endpoint_t *endpoint) {
  auto found = c->connections.find(endpoint);
  if (found == c->connections.end()) return;
  TRANSPORT_close(endpoint);
  c->retired.push_back(std::move(found->second));
  c->connections.erase(found);
}

void _protocol_error(Collector *c, Connection *connection, const wire::DecodeError &error) {
  ++c->protocol_errors;
  for (const std::unique_ptr<Output> &output : c->outputs) {
    output->protocol_error(connection->id, connection->peer, error);
  }
}

// Accepts one pending connection and closes it at once.
bool _refuse_one(Collector *c) {
  transport_endpoint_t endpoint;
  memset(&endpoint, 0, sizeof endpoint);
  if (TRANSPORT_accept(&c->listener, &endpoint) != 0) return false;
  TRANSPORT_close(&endpoint);
  ++c->refused;
  return true;
}

// An accept failed for a reason other than an empty queue; most often the process is out of
// descriptors (EMFILE). The pending connection would keep the listener readable for ever, so
// the spare descriptor is given up to accept and close it; if that does not clear it, accepting
// pauses briefly instead of spinning.
void _accept_failed(Collector *c, int rc) {
  bool cleared = false;
  if (c->spare_descriptor >= 0) {
    close(c->spare_descriptor);
    c->spare_descriptor = -1;
    cleared = _refuse_one(c);
    c->spare_descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  if (!cleared) {
    fprintf(stderr, "veska-collector: accept failed (%d); pausing accepts\n", rc);
    c->accept_paused_until =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(Seconds(kAcceptPauseSeconds));
  }
}

void _accept_all(Collector *c) {
  for (int i = 0; i < 64; ++i) {
    if (c->connections.size() >= c->options.max_connections) {
      if (!_refuse_one(c)) return;
      continue;
    }
    std::unique_ptr<Connection> connection(new Connection);
    memset(&connection->endpoint, 0, sizeof connection->endpoint);
    int rc = TRANSPORT_accept(&c->listener, &connection->endpoint);
    if (rc == QIVA_ERR_AGAIN) return;
    if (rc != 0) {
      _accept_failed(c, rc);
      return;
    }
    connection->id = ++c->next_id;
    connection->peer = connection->endpoint.str_addr;
    connection->close_after =
        c->options.close_after != 0 && connection->id <= c->options.close_connections;
    connection->last_data = Clock::now();
    transport_endpoint_t *key = &connection->endpoint;
    c->connections[key] = std::move(connection);
  }
}

void _read(Collector *c, Connection *connection) {
  c->reading = connection;
  for (int i = 0; i < kReadsPerPass && !c->done; ++i) {
    uint32_t size = static_cast<uint32_t>(kReadBufferSize);
    int rc =
        TRANSPORT_receive(&connection->endpoint, reinterpret_cast<char *>(c->buffer.get()), &size);
    if (rc == QIVA_ERR_AGAIN) return;
    if (rc != 0 || size == 0) {
      // The peer closed (or reset) the connection: a message left unfinished is truncated.
      if (!connection->decoder.finish())
        _protocol_error(c, connection, *connection->decoder.error());
      _close(c, &connection->endpoint);
      return;
    }
    connection->last_data = Clock::now();
    bool close_now = false;
    if (connection->close_after) {
      uint64_t room = c->options.close_after - connection->received;
      if (size >= room) {
        size = static_cast<uint32_t>(room);
        close_now = true;
      }
    }
    connection->received += size;
    c->bytes += size;
    if (!connection->decoder.feed_views(c->buffer.get(), size, c)) {
      _protocol_error(c, connection, *connection->decoder.error());
      _close(c, &connection->endpoint);
      return;
    }
    if (close_now) {
      // Deliberately cut: the unread rest makes the kernel reset the connection.
      _close(c, &connection->endpoint);
      return;
    }
  }
}

int _on_readable(transport_endpoint_t *endpoint) {
  Collector *c = collector;
  c->last_activity = Clock::now();
  if (endpoint == &c->listener) {
    if (c->listening) _accept_all(c);
  } else {
    auto found = c->connections.find(endpoint);
    if (found != c->connections.end()) _read(c, found->second.get());
  }
  // A non-zero handler result ends the dispatch call after this pass (27 is reported as
  // success), so the main loop regains control after every pass with activity.
  return QIVA_ERR_AGAIN;
}

// Non-zero: do not watch the endpoint this pass (the listener while accepting is paused).
int _is_readable(transport_endpoint_t *endpoint) {
  Collector *c = collector;
  return endpoint == &c->listener && Clock::now() < c->accept_paused_until ? 1 : 0;
}

// Closes the connections that have sent nothing for --client-timeout seconds.
void _close_silent(Collector *c, Clock::time_point now) {
  const auto limit =
      std::chrono::duration_cast<Clock::duration>(Seconds(c->options.client_timeout));
  for (auto it = c->connections.begin(); it != c->connections.end();) {
    transport_endpoint_t *endpoint = it->first;
    const bool silent = now - it->second->last_data >= limit;
    ++it;
    if (silent) {
      ++c->timed_out;
      _close(c, endpoint);
    }
  }
}

// One turn of the loop: a dispatch pass of at most timeout_us, then the outputs' turn.
// False when the dispatch failed.
bool _turn(Collector *c, uint32_t timeout_us) {
  ve_time_t pass_timeout = {0, timeout_us};
  int rc = TRANSPORT_dispatch(&c->transport, &pass_timeout);
  c->retired.clear();
  for (const std::unique_ptr<Output> &output : c->outputs) {
    output->flush();
    output->poll();
  }
  if (rc != 0 && rc != QIVA_ERR_TIMEDOUT) {
    fprintf(stderr, "veska-collector: dispatch failed (%d)\n", rc);
    return false;
  }
  return true;
}

// After a stop signal: no new connections; every open one is read until it has been quiet for
// a moment (its client has sent what it had), within an overall bound.
bool _drain(Collector *c) {
  const Clock::time_point start = Clock::now();
  if (c->listening) {
    _accept_all(c);  // connections the kernel already completed are served, not reset
    TRANSPORT_close(&c->listener);
    c->listening = false;
  }
  const int signals = stop_requested;
  const auto quiet = std::chrono::duration_cast<Clock::duration>(Seconds(kDrainQuietSeconds));
  const auto bound = std::chrono::duration_cast<Clock::duration>(Seconds(kDrainBoundSeconds));
  while (!c->connections.empty() && !c->done && stop_requested == signals) {
    const Clock::time_point now = Clock::now();
    if (now - start >= bound) break;
    bool all_quiet = true;
    for (const auto &entry : c->connections) {
      const Clock::time_point last = std::max(entry.second->last_data, start);
      if (now - last < quiet) all_quiet = false;
    }
    if (all_quiet) break;
    if (!_turn(c, 50000)) return false;
  }
  return true;
}

bool _parse_unsigned(const std::string &text, uint64_t *value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long parsed = strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = parsed;
  return true;
}

bool _parse_seconds(const std::string &text, double *value) {
  if (text.empty()) return false;
  char *end = nullptr;
  double parsed = strtod(text.c_str(), &end);
  if (*end != '\0' || !(parsed > 0) || parsed > 1e9) return false;
  *value = parsed;
  return true;
}

int _bad_option(const std::string &message) {
  fprintf(stderr, "veska-collector: %s\nTry 'veska-collector --help'.\n", message.c_str());
  return 2;
}

// Returns -1 to go on, otherwise the exit status.
int _parse_options(int argc, char **argv, Options *options) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::string value;
    bool has_value = false;
    size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
      has_value = true;
    }
    auto take = [&](std::string *out) {
      if (has_value) {
        *out = value;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string text;
    if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--summary" || arg == "--quiet") {
      if (has_value) return _bad_option("option '" + arg + "' takes no value");
      (arg == "--summary" ? options->summary : options->quiet) = true;
    } else if (arg == "--listen" || arg == "--output" || arg == "--ready-file") {
      if (!take(&text) || text.empty()) return _bad_option("option '" + arg + "' needs a value");
      (arg == "--listen"   ? options->listen
       : arg == "--output" ? options->output
                           : options->ready_file) = text;
    } else if (arg == "--count" || arg == "--close-after" || arg == "--close-connections" ||
               arg == "--max-connections") {
      uint64_t number = 0;
      if (!take(&text)) return _bad_option("option '" + arg + "' needs a value");
      if (!_parse_unsigned(text, &number) || number == 0) {
        return _bad_option("option '" + arg + "' needs a positive whole number, not '" + text +
                           "'");
      }
      (arg == "--count"               ? options->count
       : arg == "--close-after"       ? options->close_after
       : arg == "--close-connections" ? options->close_connections
                                      : options->max_connections) = number;
    } else if (arg == "--idle-exit" || arg == "--client-timeout") {
      if (!take(&text)) return _bad_option("option '" + arg + "' needs a value");
      if (!_parse_seconds(text,
                          arg == "--idle-exit" ? &options->idle_exit : &options->client_timeout)) {
        return _bad_option("option '" + arg + "' needs a positive number of seconds, not '" + text +
                           "'");
      }
    } else if (veska::kafka::is_option(arg)) {
      std::string error;
      if (!take(&text)) return _bad_option("option '" + arg + "' needs a value");
      if (!veska::kafka::set_option(arg, text, &options->kafka, &error)) return _bad_option(error);
    } else {
      return _bad_option("unknown option '" + args[i] + "'");
    }
  }
  std::string error;
  if (!veska::kafka::check_options(options->kafka, &error)) return _bad_option(error);
  return -1;
}

// Written under a temporary name and renamed, so a reader never sees a partial address.
bool _write_ready_file(const std::string &path, const char *address) {
  std::string temporary = path + ".tmp." + std::to_string(getpid());
  FILE *file = fopen(temporary.c_str(), "w");
  if (file == nullptr) return false;
  bool ok = fprintf(file, "%s\n", address) > 0;
  ok = fclose(file) == 0 && ok;
  if (ok) ok = rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temporary.c_str());
  return ok;
}

void _print_summary(const Collector &c) {
  Json summary = Json::object();
  summary["connections"] = c.next_id;
  summary["protocol_errors"] = c.protocol_errors;
  summary["refused"] = c.refused;
  summary["timed_out"] = c.timed_out;
  summary["bytes"] = c.bytes;
  Json messages = Json::object();
  messages["register"] = c.kinds[static_cast<int>(wire::MessageKind::kRegister)];
  messages["event"] = c.kinds[static_cast<int>(wire::MessageKind::kEvent)];
  messages["statistics"] = c.kinds[static_cast<int>(wire::MessageKind::kStatistics)];
  messages["heartbeat"] = c.kinds[static_cast<int>(wire::MessageKind::kHeartbeat)];
  summary["messages"] = messages;
  for (const std::unique_ptr<Output> &output : c.outputs) output->summarise(&summary);
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

}  // namespace

int main(int argc, char **argv) {
  // Standard output may carry the JSON lines: keep the library's own diagnostics off it
  // unless the user asked for them.
  setenv("QIVA_LOGGER_DISABLE", "1", 0);

  Collector c;
  int status = _parse_options(argc, argv, &c.options);
  if (status >= 0) return status;
  collector = &c;

  c.out = stdout;
  if (!c.options.output.empty()) {
    c.out = fopen(c.options.output.c_str(), "w");
    if (c.out == nullptr) {
      fprintf(stderr, "veska-collector: cannot open output file '%s': %s\n",
              c.options.output.c_str(), strerror(errno));
      return 2;
    }
  }
  if (!c.options.quiet) c.outputs.emplace_back(new veska::collector::JsonLinesOutput(c.out));
  if (c.options.kafka.enabled()) {
    std::string error;
    std::unique_ptr<Output> kafka = veska::kafka::KafkaOutput::create(c.options.kafka, &error);
    if (!kafka) {
      fprintf(stderr, "veska-collector: %s\n", error.c_str());
      return 2;
    }
    c.outputs.push_back(std::move(kafka));
  }
  _raise_descriptor_limit(c.options.max_connections);
  c.spare_descriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);

  memset(&c.transport, 0, sizeof c.transport);
  memset(&c.listener, 0, sizeof c.listener);
  if (TRANSPORT_check_address("tcp", c.options.listen.c_str()) != 0) {
    fprintf(stderr, "veska-collector: not a TCP address: '%s'\n", c.options.listen.c_str());
    return 2;
  }
  int rc = TRANSPORT_init(&c.transport, "tcp");
  if (rc != 0) {
    fprintf(stderr, "veska-collector: cannot initialise the TCP transport (%d)\n", rc);
    return 2;
  }
  c.transport.on_readable = _on_readable;
  c.transport.is_readable = _is_readable;
  c.transport.userdata = &c;
  rc = TRANSPORT_listen(&c.transport, &c.listener, c.options.listen.c_str());
  if (rc != 0) {
    fprintf(stderr, "veska-collector: cannot listen on '%s' (%d)\n", c.options.listen.c_str(), rc);
    TRANSPORT_destroy(&c.transport);
    return 2;
  }
  c.listening = true;
  if (!c.options.ready_file.empty() &&
      !_write_ready_file(c.options.ready_file, c.listener.str_addr)) {
    fprintf(stderr, "veska-collector: cannot write ready file '%s'\n",
            c.options.ready_file.c_str());
    TRANSPORT_close(&c.listener);
    TRANSPORT_destroy(&c.transport);
    return 2;
  }

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = _on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int loop_status = 0;
  c.last_activity = Clock::now();
  Clock::time_point last_sweep = Clock::now();
  while (stop_requested == 0 && !c.done) {
    // Short passes keep signals, --count, --idle-exit and time-outs responsive.
    if (!_turn(&c, 100000)) {
      loop_status = 1;
      break;
    }
    const Clock::time_point now = Clock::now();
    if (now - last_sweep >= std::chrono::milliseconds(100)) {
      last_sweep = now;
      _close_silent(&c, now);
    }
    if (c.options.idle_exit > 0) {
      Seconds idle = now - c.last_activity;
      if (idle.count() >= c.options.idle_exit) break;
    }
  }
  if (loop_status == 0 && stop_requested != 0 && !c.done && !_drain(&c)) loop_status = 1;

  while (!c.connections.empty()) _close(&c, c.connections.begin()->first);
  c.retired.clear();
  if (c.listening) TRANSPORT_close(&c.listener);
  TRANSPORT_destroy(&c.transport);
  for (const std::unique_ptr<Output> &output : c.outputs) output->finish(kDrainBoundSeconds);
  if (c.options.summary) _print_summary(c);
  c.outputs.clear();
  if (c.out != stdout) fclose(c.out);
  if (c.spare_descriptor >= 0) close(c.spare_descriptor);
  if (c.protocol_errors != 0) return 1;
  return loop_status;
}
