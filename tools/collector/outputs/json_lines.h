// The collector's JSON Lines output: one object per message, written through a large stdio
// buffer and flushed whenever the collector has read everything waiting.
#ifndef VESKA_TOOLS_COLLECTOR_JSON_LINES_H
#define VESKA_TOOLS_COLLECTOR_JSON_LINES_H

#include <cstdio>
#include <string>

#include "tools/collector/outputs/output.h"

namespace veska {
namespace collector {

class JsonLinesOutput : public Output {
 public:
  // Writes to file, which the caller owns and closes after this output is gone.
  explicit JsonLinesOutput(FILE *file);
  // Writes to file from now on (after a reopen); what was written before is flushed first.
  void set_file(FILE *file);
  void deliver(const Delivery &message) override;
  void protocol_error(uint64_t connection, const std::string &peer,
                      const wire::DecodeError &error) override;
  void flush() override;
  void finish(double seconds) override;
  // Adds "json_lines": {"failed": N} when lines could not be written.
  void summarise(nlohmann::ordered_json *summary) override;
  uint64_t failed() const override { return failed_; }

 private:
  void write_line();
  void _failure();  // a write or a flush failed: counts the lines lost, says why once

  FILE *file_;
  std::string line_;
  uint64_t unflushed_ = 0;  // lines handed to the stream since its last successful flush
  uint64_t failed_ = 0;
  bool failure_reported_ = false;
};

}  // namespace collector
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_JSON_LINES_H
