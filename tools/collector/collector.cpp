// veska-collector: a collector for tests and diagnostics. It listens through the library's own
// TCP module, serves any number of client connections from one dispatch loop, decodes every
// stream strictly and writes one JSON object per message (JSON Lines), flushed per line.
//
// Exit status: 0 normally, 1 when a protocol error was seen (or the loop failed), 2 for bad
// options or an address it cannot listen on.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "private_api.h"
#include "tools/collector/decoder.h"

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;
namespace wire = veska::wire;

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
    "  --help               show this text\n"
    "\n"
    "Exit status: 0 done, 1 a protocol error was seen, 2 bad options or cannot listen.\n";

volatile sig_atomic_t stop_requested = 0;

void _on_signal(int) { stop_requested = 1; }

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
};

struct Connection {
  transport_endpoint_t endpoint;  // registered with the transport: its address must not move
  uint64_t id = 0;
  std::string peer;
  wire::StreamDecoder decoder;
  uint64_t received = 0;
  bool close_after = false;
};

struct Collector {
  Options options;
  transport_instance_t transport;
  transport_endpoint_t listener;
  std::map<transport_endpoint_t *, std::unique_ptr<Connection>> connections;
  // Closed during a dispatch pass; freed once the pass has returned.
  std::vector<std::unique_ptr<Connection>> retired;
  FILE *out = nullptr;
  uint64_t next_id = 0;
  uint64_t protocol_errors = 0;
  uint64_t bytes = 0;
  uint64_t kinds[4] = {0, 0, 0, 0};
  bool done = false;
  Clock::time_point last_activity = Clock::now();
};

Collector *collector = nullptr;

// ---- JSON ----------------------------------------------------------------------------------

// Bytes as a string when every byte is printable ASCII, otherwise {"hex": "..."}.
Json _bytes(const uint8_t *data, size_t size) {
  bool printable = true;
  for (size_t i = 0; i < size && printable; ++i) printable = data[i] >= 0x20 && data[i] <= 0x7E;
  if (printable) return Json(std::string(reinterpret_cast<const char *>(data), size));
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    hex += kDigits[data[i] >> 4];
    hex += kDigits[data[i] & 0x0F];
  }
  Json object = Json::object();
  object["hex"] = hex;
  return object;
}
Json _bytes(const wire::Bytes &bytes) { return _bytes(bytes.data(), bytes.size()); }
Json _bytes(const std::string &text) {
  return _bytes(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

Json _values(const wire::ValuesList &list) {
  Json array = Json::array();
  for (const wire::ValueItem &item : list) {
    Json entry = Json::object();
    entry["name"] = _bytes(item.name);
    entry["value"] = _bytes(item.value);
    array.push_back(std::move(entry));
  }
  return array;
}

Json _association(const wire::AssociationSection &section) {
  Json object = Json::object();
  object["caller_type"] = section.caller_type;
  object["link_id"] = _bytes(section.link_id);
  object["stitch_ids"] = _values(section.stitch_ids);
  return object;
}

Json _record(const Connection &connection, const char *kind, size_t offset) {
  Json record = Json::object();
  record["connection"] = connection.id;
  record["peer"] = connection.peer;
  record["kind"] = kind;
  record["offset"] = offset;
  return record;
}

Json _message_record(const Connection &connection, const wire::Message &message) {
  Json record = _record(connection, wire::message_kind_name(message.kind), message.offset);
  switch (message.kind) {
    case wire::MessageKind::kRegister:
      break;
    case wire::MessageKind::kEvent: {
      const wire::EventMessage &event = message.event;
      record["length"] = message.length;
      record["type"] = event.type;
      const char *name = QIVA_get_event_name(static_cast<qiva_event_type_t>(event.type));
      if (name != nullptr && strcmp(name, "<unknown>") != 0) {
        record["type_name"] = name;
      } else {
        record["type_name"] = nullptr;
      }
      record["blocked"] = event.blocked;
      record["seconds"] = event.seconds;
      record["microseconds"] = event.microseconds;
      if (event.instance) {
        Json instance = Json::object();
        instance["transaction_id"] = _bytes(event.instance->transaction_id);
        instance["transaction_data"] = _values(event.instance->transaction_data);
        record["instance"] = std::move(instance);
      }
      if (event.horizontal) record["horizontal"] = _association(*event.horizontal);
      if (event.vertical) record["vertical"] = _association(*event.vertical);
      if (event.horizontal_context) record["horizontal_context"] = _values(*event.horizontal_context);
      if (event.vertical_context) record["vertical_context"] = _values(*event.vertical_context);
      break;
    }
    case wire::MessageKind::kStatistics:
      record["events_dropped"] = message.statistics.events_dropped;
      record["connections_made"] = message.statistics.connections_made;
      break;
    case wire::MessageKind::kHeartbeat:
      record["seconds"] = message.heartbeat.seconds;
      break;
  }
  return record;
}

void _write(Collector *c, const Json &record) {
  if (c->options.quiet) return;
  std::string line = record.dump();
  line += '\n';
  fwrite(line.data(), 1, line.size(), c->out);
  fflush(c->out);
}

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
  Json record = _record(*connection, "protocol_error", error.offset);
  record["reason"] = error.reason;
  _write(c, record);
}

// Writes the decoded messages; stops at the event that reaches --count.
void _emit(Collector *c, Connection *connection, const std::vector<wire::Message> &messages) {
  for (const wire::Message &message : messages) {
    if (c->done) return;
    ++c->kinds[static_cast<int>(message.kind)];
    _write(c, _message_record(*connection, message));
    if (message.kind == wire::MessageKind::kEvent && c->options.count != 0 &&
        c->kinds[static_cast<int>(wire::MessageKind::kEvent)] >= c->options.count) {
      c->done = true;
    }
  }
}

void _accept_all(Collector *c) {
  for (int i = 0; i < 64; ++i) {
    std::unique_ptr<Connection> connection(new Connection);
    memset(&connection->endpoint, 0, sizeof connection->endpoint);
    int rc = TRANSPORT_accept(&c->listener, &connection->endpoint);
    if (rc == QIVA_ERR_AGAIN) return;
    if (rc != 0) {
      fprintf(stderr, "veska-collector: accept failed (%d)\n", rc);
      return;
    }
    connection->id = ++c->next_id;
    connection->peer = connection->endpoint.str_addr;
    connection->close_after = c->options.close_after != 0 && connection->id <= c->options.close_connections;
    transport_endpoint_t *key = &connection->endpoint;
    c->connections[key] = std::move(connection);
  }
}

void _read(Collector *c, Connection *connection) {
  static char buffer[65536];
  std::vector<wire::Message> messages;
  // Bounded per pass so that one busy connection cannot starve the others.
  for (int i = 0; i < 16 && !c->done; ++i) {
    uint32_t size = sizeof buffer;
    int rc = TRANSPORT_receive(&connection->endpoint, buffer, &size);
    if (rc == QIVA_ERR_AGAIN) return;
    if (rc != 0 || size == 0) {
      // The peer closed (or reset) the connection: a message left unfinished is truncated.
      if (!connection->decoder.finish()) _protocol_error(c, connection, *connection->decoder.error());
      _close(c, &connection->endpoint);
      return;
    }
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
    messages.clear();
    bool ok = connection->decoder.feed(reinterpret_cast<const uint8_t *>(buffer), size, &messages);
    _emit(c, connection, messages);
    if (!ok) {
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
    _accept_all(c);
  } else {
    auto found = c->connections.find(endpoint);
    if (found != c->connections.end()) _read(c, found->second.get());
  }
  // A non-zero handler result ends the dispatch call after this pass (27 is reported as
  // success), so the main loop regains control after every pass with activity.
  return QIVA_ERR_AGAIN;
}

// ---- Options -------------------------------------------------------------------------------

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
      (arg == "--listen" ? options->listen : arg == "--output" ? options->output
                                                               : options->ready_file) = text;
    } else if (arg == "--count" || arg == "--close-after" || arg == "--close-connections") {
      uint64_t number = 0;
      if (!take(&text)) return _bad_option("option '" + arg + "' needs a value");
      if (!_parse_unsigned(text, &number) || number == 0) {
        return _bad_option("option '" + arg + "' needs a positive whole number, not '" + text +
                           "'");
      }
      (arg == "--count" ? options->count
                        : arg == "--close-after" ? options->close_after
                                                 : options->close_connections) = number;
    } else if (arg == "--idle-exit") {
      if (!take(&text)) return _bad_option("option '--idle-exit' needs a value");
      if (!_parse_seconds(text, &options->idle_exit)) {
        return _bad_option("option '--idle-exit' needs a positive number of seconds, not '" +
                           text + "'");
      }
    } else {
      return _bad_option("unknown option '" + args[i] + "'");
    }
  }
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
  summary["bytes"] = c.bytes;
  Json messages = Json::object();
  messages["register"] = c.kinds[static_cast<int>(wire::MessageKind::kRegister)];
  messages["event"] = c.kinds[static_cast<int>(wire::MessageKind::kEvent)];
  messages["statistics"] = c.kinds[static_cast<int>(wire::MessageKind::kStatistics)];
  messages["heartbeat"] = c.kinds[static_cast<int>(wire::MessageKind::kHeartbeat)];
  summary["messages"] = messages;
  fprintf(stderr, "%s\n", summary.dump().c_str());
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
  c.transport.userdata = &c;
  rc = TRANSPORT_listen(&c.transport, &c.listener, c.options.listen.c_str());
  if (rc != 0) {
    fprintf(stderr, "veska-collector: cannot listen on '%s' (%d)\n", c.options.listen.c_str(),
            rc);
    TRANSPORT_destroy(&c.transport);
    return 2;
  }
  if (!c.options.ready_file.empty() && !_write_ready_file(c.options.ready_file, c.listener.str_addr)) {
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
  while (stop_requested == 0 && !c.done) {
    // Short passes keep signals, --count and --idle-exit responsive.
    ve_time_t pass_timeout = {0, 100000};
    rc = TRANSPORT_dispatch(&c.transport, &pass_timeout);
    c.retired.clear();
    if (rc != 0 && rc != QIVA_ERR_TIMEDOUT) {
      fprintf(stderr, "veska-collector: dispatch failed (%d)\n", rc);
      loop_status = 1;
      break;
    }
    if (c.options.idle_exit > 0) {
      std::chrono::duration<double> idle = Clock::now() - c.last_activity;
      if (idle.count() >= c.options.idle_exit) break;
    }
  }

  while (!c.connections.empty()) _close(&c, c.connections.begin()->first);
  c.retired.clear();
  TRANSPORT_close(&c.listener);
  TRANSPORT_destroy(&c.transport);
  if (c.out != stdout) fclose(c.out);
  if (c.options.summary) _print_summary(c);
  if (c.protocol_errors != 0) return 1;
  return loop_status;
}
