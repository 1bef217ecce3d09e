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
  void deliver(const Delivery &message) override;
  void protocol_error(uint64_t connection, const std::string &peer,
                      const wire::DecodeError &error) override;
  void flush() override;
  void finish(double seconds) override;

 private:
  void write_line();

  FILE *file_;
  std::string line_;
};

}  // namespace collector
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_JSON_LINES_H
