// Writes a stored event as the JSON object a transaction detail holds for it, straight from its
// wire bytes, without building a JSON document: a page of thousands of events costs a few
// milliseconds instead of a parse and a dump per event.
#ifndef VESKA_TOOLS_COLLECTOR_STORE_EVENT_TEXT_H
#define VESKA_TOOLS_COLLECTOR_STORE_EVENT_TEXT_H

#include <cstdint>
#include <string>

namespace veska {
namespace store {

// One row of a transaction's events, as the store keeps it.
struct StoredEventRow {
  uint64_t connection = 0;
  int64_t stream_offset = 0;
  int64_t time_us = 0;
  std::string message;  // the wire bytes, header included
  std::string peer;
};

// Appends the event's object to *out: the collector's JSON line for the message, then "client"
// and "time_us", byte for byte what the detail's document gives. Returns false, leaving *out
// as it was, when that text cannot be had this way (bytes that no longer decode, or text that is
// not plain ASCII): the caller then renders the event through a document.
bool append_event_text(const StoredEventRow &row, std::string *out);

}  // namespace store
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_STORE_EVENT_TEXT_H
