// The collector's command line.
#include "tools/collector/options.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <set>
#include <string>
#include <vector>

#include "types.h"

namespace veska {
namespace collector {

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
    "  --kafka-property K=V any librdkafka property, for the producer or the consumer\n"
    "                       (repeatable)\n"
    "  --store FILE         also keep every event in the transaction store FILE (SQLite)\n"
    "  --retain-bytes N     keep the store within N bytes, oldest transactions first\n"
    "                       (default 1073741824)\n"
    "  --retain-age DURATION  forget transactions older than DURATION (default 7d;\n"
    "                       a number with s, m, h or d)\n"
    "  --stuck-after DURATION  an open transaction older than this is stuck (default 60s)\n"
    "  --http ADDR          serve the query API and the page on ADDR (HOST:PORT)\n"
    "  --http-token-file FILE  every HTTP request must carry the bearer token in FILE\n"
    "  --kafka-consume LIST read the --kafka-topic back from these bootstrap servers: its\n"
    "                       wire-format records go to the outputs, with each client's\n"
    "                       peer; other records are refused and counted\n"
    "  --kafka-group GROUP  the consumer group of --kafka-consume (default veska-collector)\n"
    "  --version            print the release and the build's identity\n"
    "  -h, --help           show this text\n"
    "\n"
    "An option's value follows it or comes after '=' (--count 5, --count=5). Each option may\n"
    "be given once (--kafka-property as often as needed); --retain-bytes, --retain-age and\n"
    "--stuck-after need --store, --http-token-file needs --http, --kafka-group needs\n"
    "--kafka-consume, --close-connections needs --close-after.\n"
    "\n"
    "--output FILE is opened for appending once everything else has been checked, and is\n"
    "locked: a second collector refuses to write the same file and names the one that does.\n"
    "SIGHUP reopens it (after a rotation that renamed the file).\n"
    "SIGINT or SIGTERM: stop accepting, read every connection until it has been quiet for\n"
    "1.2 s (at most 5 s in all), write everything, exit. A second signal exits at once.\n"
    "\n"
    "Exit status: 0 done; 1 a client sent a protocol error; 2 bad options, or cannot listen or\n"
    "open its files; 3 an output counted records it could not write or deliver; 4 a fatal\n"
    "error stopped the intake.\n";

namespace {

bool _parse_unsigned(const std::string &text, uint64_t *value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long parsed = strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = parsed;
  return true;
}

// Digits with at most one decimal point: strtod alone would also take "0x1A", "1e3" or "inf".
bool _is_decimal(const std::string &text) {
  const size_t point = text.find('.');
  if (point != text.rfind('.')) return false;
  return text.find_first_not_of("0123456789.") == std::string::npos &&
         text.find_first_of("0123456789") != std::string::npos;
}

bool _parse_seconds(const std::string &text, double *value) {
  if (!_is_decimal(text)) return false;
  char *end = nullptr;
  double parsed = strtod(text.c_str(), &end);
  if (*end != '\0' || !(parsed > 0) || parsed > 1e9) return false;
  *value = parsed;
  return true;
}

// A positive number of seconds, or of minutes, hours or days with the suffix m, h or d.
bool _parse_duration(const std::string &text, double *value) {
  if (text.empty()) return false;
  double unit = 1;
  std::string number = text;
  switch (text.back()) {
    case 's':
      unit = 1;
      break;
    case 'm':
      unit = 60;
      break;
    case 'h':
      unit = 3600;
      break;
    case 'd':
      unit = 86400;
      break;
    default:
      break;
  }
  if (unit != 1 || text.back() == 's') number.pop_back();
  double seconds = 0;
  if (!_parse_seconds(number, &seconds)) return false;
  *value = seconds * unit;
  return true;
}

// Only the long options and -h exist, so a value that starts like one was almost surely meant
// as the next option: "--output --summary" must not create a file named "--summary".
bool _looks_like_option(const std::string &text) {
  return text.compare(0, 2, "--") == 0 || text == "-h";
}

// Why a HOST:PORT text cannot be listened on, as far as its spelling shows; empty when it may.
std::string _address_problem(const std::string &address) {
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos) return "no ':' before the port";
  if (colon == 0 || (address[0] == '[' && colon == 2)) return "no host before the port";
  const std::string port = address.substr(colon + 1);
  if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) {
    return "the port '" + port + "' is not a decimal number";
  }
  if (port.size() > 5 || std::stoul(port) > 65535) return "port above 65535";
  return "";
}

struct Dependency {
  const char *option;
  const char *needs;
};

// Options that mean nothing without another: refused, so that a typo or a forgotten option
// does not pass unnoticed.
const Dependency kDependencies[] = {
    {"--retain-bytes", "--store"},        {"--retain-age", "--store"},
    {"--stuck-after", "--store"},         {"--http-token-file", "--http"},
    {"--kafka-group", "--kafka-consume"}, {"--close-connections", "--close-after"},
};

}  // namespace

int bad_option(const std::string &message) {
  fprintf(stderr, "veska-collector: %s\nTry 'veska-collector --help'.\n", message.c_str());
  return 2;
}

// Returns -1 to go on, otherwise the exit status.
int parse_options(int argc, char **argv, Options *options) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::set<std::string> given;
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
      if (i + 1 >= args.size() || _looks_like_option(args[i + 1])) return false;
      *out = args[++i];
      return true;
    };
    auto missing = [&]() {
      std::string message = "option '" + arg + "' needs a value";
      if (!has_value && i + 1 < args.size()) message += ", not the option '" + args[i + 1] + "'";
      return bad_option(message);
    };
    if (arg.compare(0, 2, "--") == 0 && arg != "--kafka-property" && !given.insert(arg).second) {
      return bad_option("option '" + arg + "' given twice");
    }
    std::string text;
    if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      if (has_value) return bad_option("option '" + arg + "' takes no value");
      printf("veska-collector %s\n", QIVA_version());
      return 0;
    } else if (arg == "--summary" || arg == "--quiet") {
      if (has_value) return bad_option("option '" + arg + "' takes no value");
      (arg == "--summary" ? options->summary : options->quiet) = true;
    } else if (arg == "--listen" || arg == "--output" || arg == "--ready-file" ||
               arg == "--store" || arg == "--http" || arg == "--http-token-file" ||
               arg == "--kafka-consume" || arg == "--kafka-group") {
      if (!take(&text)) return missing();
      if (text.empty()) return bad_option("option '" + arg + "' needs a value");
      (arg == "--listen"            ? options->listen
       : arg == "--output"          ? options->output
       : arg == "--ready-file"      ? options->ready_file
       : arg == "--store"           ? options->store
       : arg == "--http"            ? options->http
       : arg == "--http-token-file" ? options->http_token_file
       : arg == "--kafka-consume"   ? options->kafka_consume
                                    : options->kafka_group) = text;
    } else if (arg == "--retain-bytes") {
      if (!take(&text)) return missing();
      if (!_parse_unsigned(text, &options->retain_bytes) || options->retain_bytes == 0) {
        return bad_option("option '" + arg + "' needs a positive whole number, not '" + text + "'");
      }
    } else if (arg == "--retain-age" || arg == "--stuck-after") {
      if (!take(&text)) return missing();
      if (!_parse_duration(text,
                           arg == "--retain-age" ? &options->retain_age : &options->stuck_after)) {
        return bad_option("option '" + arg +
                          "' needs a duration such as 90s, 15m, 12h or 7d, not '" + text + "'");
      }
    } else if (arg == "--count" || arg == "--close-after" || arg == "--close-connections" ||
               arg == "--max-connections") {
      uint64_t number = 0;
      if (!take(&text)) return missing();
      if (!_parse_unsigned(text, &number) || number == 0) {
        return bad_option("option '" + arg + "' needs a positive whole number, not '" + text + "'");
      }
      (arg == "--count"               ? options->count
       : arg == "--close-after"       ? options->close_after
       : arg == "--close-connections" ? options->close_connections
                                      : options->max_connections) = number;
    } else if (arg == "--idle-exit" || arg == "--client-timeout") {
      if (!take(&text)) return missing();
      if (!_parse_seconds(text,
                          arg == "--idle-exit" ? &options->idle_exit : &options->client_timeout)) {
        return bad_option("option '" + arg + "' needs a positive number of seconds, not '" + text +
                          "'");
      }
    } else if (veska::kafka::is_option(arg)) {
      std::string error;
      if (!take(&text)) return missing();
      if (!veska::kafka::set_option(arg, text, &options->kafka, &error)) return bad_option(error);
    } else {
      return bad_option("unknown option '" + args[i] + "'");
    }
  }
  for (const Dependency &dependency : kDependencies) {
    if (given.count(dependency.option) != 0 && given.count(dependency.needs) == 0) {
      return bad_option("option '" + std::string(dependency.option) + "' needs " +
                        dependency.needs);
    }
  }
  for (const char *option : {"--listen", "--http"}) {
    const std::string &address = option[2] == 'l' ? options->listen : options->http;
    if (address.empty()) continue;
    const std::string problem = _address_problem(address);
    if (!problem.empty()) {
      return bad_option("cannot listen on '" + address + "' (" + option + "): " + problem);
    }
  }
  std::string error;
  // With --kafka-consume, --kafka-topic names the topic read back, not one written to.
  if (options->kafka_consume.empty() && !veska::kafka::check_options(options->kafka, &error)) {
    return bad_option(error);
  }
  // Forwarding what is read back would feed the topic its own records for ever.
  if (!options->kafka_consume.empty() && options->kafka.enabled()) {
    return bad_option("--kafka-consume and --kafka-brokers cannot be used together");
  }
  return -1;
}

}  // namespace collector
}  // namespace veska
