// What the writer needs of an event beyond the intake's check: its link ids and the name/value
// pairs searches match on, read in place from a message check_message has already accepted,
// as views into its bytes (no copy, no allocation per field).
#ifndef VESKA_TOOLS_COLLECTOR_STORE_EVENT_FIELDS_H
#define VESKA_TOOLS_COLLECTOR_STORE_EVENT_FIELDS_H

#include <cstdint>
#include <string_view>
#include <vector>

#include "tools/collector/decoding/decoder.h"
#include "tools/collector/store/schema.h"

namespace veska {
namespace store {

struct PairView {
  PairKind kind;
  std::string_view name;
  std::string_view value;
};

struct EventFields {
  // Empty when the event has no such association or its link id is empty.
  std::string_view hlink, vlink;
};

// Reads an event view's links, and appends its transaction data and stitch pairs to *pairs
// (context pairs are not searched, so not kept). False when the bytes do not hold the sections
// their presence flags announce, which a checked message never does.
bool read_event_fields(const wire::MessageView &event, EventFields *fields,
                       std::vector<PairView> *pairs);

}  // namespace store
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_STORE_EVENT_FIELDS_H
