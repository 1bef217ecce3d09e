// The collector's command line: every option, its default, and the parser that checks them all
// before anything is opened, listened on or written.
#ifndef VESKA_TOOLS_COLLECTOR_OPTIONS_H
#define VESKA_TOOLS_COLLECTOR_OPTIONS_H

#include <cstdint>
#include <string>

#include "tools/collector/outputs/kafka_forwarder.h"

namespace veska {
namespace collector {

struct Options {
  // Intake.
  std::string listen = "127.0.0.1:5455";
  std::string ready_file;
  uint64_t count = 0;  // 0: no limit
  double idle_exit = 0;
  uint64_t close_after = 0;  // 0: never
  uint64_t close_connections = 1;
  uint64_t max_connections = 1000;
  double client_timeout = 300;
  // Outputs.
  std::string output;
  bool summary = false;
  bool quiet = false;
  veska::kafka::Options kafka;
  // The transaction store.
  std::string store;
  uint64_t retain_bytes = uint64_t(1) << 30;
  double retain_age = 7 * 86400.0;  // seconds
  double stuck_after = 60;          // seconds
  // The HTTP API and page.
  std::string http;
  std::string http_token_file;
  // Reading a Kafka topic back (the topic is kafka.topic).
  std::string kafka_consume;  // bootstrap servers; empty: off
  std::string kafka_group;
};

// The --help text.
extern const char kUsage[];

// Reads argv into *options. Returns -1 to go on, otherwise the exit status: 0 after --help, 2
// (with the reason on standard error) for a bad option.
int parse_options(int argc, char **argv, Options *options);

// Prints "veska-collector: MESSAGE" and the --help hint on standard error; returns 2.
int bad_option(const std::string &message);

}  // namespace collector
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_OPTIONS_H
