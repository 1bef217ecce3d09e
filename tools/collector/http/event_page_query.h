// Reads the paging parameters of a transaction's answers: events_from and events_limit on
// GET /api/transactions/KEY, from and limit on GET /api/transactions/KEY/events. Bounded like
// every query: whatever is sent, one pass over at most kMaxQueryBytes.
#ifndef VESKA_TOOLS_COLLECTOR_HTTP_EVENT_PAGE_QUERY_H
#define VESKA_TOOLS_COLLECTOR_HTTP_EVENT_PAGE_QUERY_H

#include <cstdint>
#include <string>
#include <string_view>

#include "tools/collector/store/transaction_reader.h"

namespace veska {
namespace http {

constexpr uint32_t kDefaultEventsPage = 1000;  // a page's events when no limit is given
constexpr uint32_t kMaxEventsPage = 5000;      // larger limits are lowered to this, not refused
constexpr int64_t kMaxEventsFrom = 999999999;  // nine digits: more than any transaction holds

struct EventPageQuery {
  const char *from_name;   // "events_from" or "from"
  const char *limit_name;  // "events_limit" or "limit"
  bool others_refused;     // other parameters get a 400 (else they are ignored)
};

// Parses `query`, the raw bytes after '?'. Returns false with the reason for the 400 answer in
// *error; otherwise true, with *paged telling whether either parameter was given and *page the
// page asked for (from 0 and kDefaultEventsPage when absent).
bool parse_event_page(std::string_view query, const EventPageQuery &names, bool *paged,
                      store::EventPage *page, std::string *error);

}  // namespace http
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_HTTP_EVENT_PAGE_QUERY_H
