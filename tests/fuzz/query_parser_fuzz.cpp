// Feeds arbitrary bytes to the HTTP search's query-string parser as a query string. No input
// may crash it or read out of bounds, and whatever it accepts stays within the bounds it
// promises: a limit from 1 to the cap, few name/value pairs, short decoded strings, and a short
// reason for whatever it refuses. The same bytes go to the paging parameters' parser, whose
// pages stay within their bounds.
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "tools/collector/http/event_page_query.h"
#include "tools/collector/http/query_parser.h"

namespace {

namespace http = veska::http;

void _check_length(const std::optional<std::string> &text) {
  if (text && text->size() > http::kMaxValueBytes) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size) {
  const std::string_view input(reinterpret_cast<const char *>(data), size);
  std::string error;
  for (const http::EventPageQuery &names :
       {http::EventPageQuery{"events_from", "events_limit", false},
        http::EventPageQuery{"from", "limit", true}}) {
    bool paged = false;
    veska::store::EventPage page;
    if (!http::parse_event_page(input, names, &paged, &page, &error)) {
      if (error.empty() || error.size() > 256) abort();
    } else if (page.limit < 1 || page.limit > http::kMaxEventsPage || page.from < 0 ||
               page.from > http::kMaxEventsFrom) {
      abort();
    }
  }
  veska::store::TransactionQuery query;
  error.clear();
  if (!http::parse_transaction_query(input, &query, &error)) {
    if (error.empty() || error.size() > 256) abort();
    return 0;
  }
  if (query.limit < 1 || query.limit > http::kMaxLimit) abort();
  if (query.data.size() + query.stitch.size() > http::kMaxNameValuePairs) abort();
  for (const auto *list : {&query.data, &query.stitch}) {
    for (const auto &pair : *list) {
      if (pair.name.empty() || pair.name.find(':') != std::string::npos) abort();
    }
  }
  _check_length(query.id);
  _check_length(query.id_prefix);
  _check_length(query.client);
  if (query.cursor.size() > http::kMaxValueBytes) abort();
  if (query.outcome &&
      query.outcome->find_first_not_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos) {
    abort();
  }
  // Decoding never lengthens its input.
  std::string decoded;
  if (http::decode_component(input, true, &decoded) && decoded.size() > size) abort();
  return 0;
}
