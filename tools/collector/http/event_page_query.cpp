// Paging parameters. The detail route has always ignored its query string, so there only the
// two paging names are looked at; the events route is new and refuses what it does not know.
#include "tools/collector/http/event_page_query.h"

#include "tools/collector/http/query_parser.h"

namespace veska {
namespace http {

namespace {

// Digits only, at most `max` (a larger value is lowered to it when `lowered`, else refused).
bool _whole_number(const std::string &text, int64_t max, bool lowered, int64_t *value) {
  if (text.empty()) return false;
  int64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    if (result <= max) result = result * 10 + (c - '0');
  }
  if (result > max && !lowered) return false;
  *value = result > max ? max : result;
  return true;
}

}  // namespace

bool parse_event_page(std::string_view query, const EventPageQuery &names, bool *paged,
                      store::EventPage *page, std::string *error) {
  *paged = false;
  *page = store::EventPage{0, kDefaultEventsPage};
  if (query.size() > kMaxQueryBytes) {
    *error = "the query string is longer than " + std::to_string(kMaxQueryBytes) + " bytes";
    return false;
  }
  bool from_seen = false, limit_seen = false;
  std::string name, value;
  while (!query.empty()) {
    const size_t end = query.find('&');
    const std::string_view segment = query.substr(0, end);
    query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
    if (segment.empty()) continue;
    const size_t equals = segment.find('=');
    const std::string_view raw_value =
        equals == std::string_view::npos ? std::string_view() : segment.substr(equals + 1);
    const bool decoded = decode_component(segment.substr(0, equals), true, &name);
    const bool is_from = decoded && name == names.from_name;
    const bool is_limit = decoded && name == names.limit_name;
    if (!is_from && !is_limit) {
      if (!names.others_refused) continue;
      *error =
          decoded && name.size() <= 64 ? "unknown parameter '" + name + "'" : "unknown parameter";
      return false;
    }
    if ((is_from && from_seen) || (is_limit && limit_seen)) {
      *error = std::string("parameter '") + name + "' is given more than once";
      return false;
    }
    (is_from ? from_seen : limit_seen) = true;
    *paged = true;
    int64_t number = 0;
    if (is_from) {
      if (!decode_component(raw_value, true, &value) ||
          !_whole_number(value, kMaxEventsFrom, false, &number)) {
        *error = std::string("parameter '") + names.from_name +
                 "' must be a whole number from 0 to " + std::to_string(kMaxEventsFrom);
        return false;
      }
      page->from = number;
    } else {
      if (!decode_component(raw_value, true, &value) ||
          !_whole_number(value, kMaxEventsPage, true, &number) || number == 0) {
        *error = std::string("parameter '") + names.limit_name +
                 "' must be a whole number of events, at least 1";
        return false;
      }
      page->limit = static_cast<uint32_t>(number);
    }
  }
  return true;
}

}  // namespace http
}  // namespace veska
