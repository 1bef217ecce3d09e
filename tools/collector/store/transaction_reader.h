// What the query side asks of the transaction store: searches, whole transactions and the
// clients seen. The HTTP layer holds only this interface, never SQL, so another store could sit
// beside the SQLite one without touching the handlers. Answers are the API's JSON documents.
#ifndef VESKA_TOOLS_COLLECTOR_STORE_TRANSACTION_READER_H
#define VESKA_TOOLS_COLLECTOR_STORE_TRANSACTION_READER_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace veska {
namespace store {

// A search, as parsed from the query string. Strings are the raw bytes the user asked for.
struct TransactionQuery {
  struct NameValue {
    std::string name;
    std::string value;
  };
  std::optional<std::string> id;         // exact transaction id
  std::optional<std::string> id_prefix;  // transaction ids starting with these bytes
  std::optional<std::string> outcome;    // "commit", "rollback", "finished", "open" or "stuck"
  std::optional<int64_t> min_duration_us;
  std::optional<int64_t> max_duration_us;
  std::optional<int64_t> from_us;  // start time range, microseconds since the epoch
  std::optional<int64_t> to_us;
  std::optional<std::string> client;  // a peer "HOST:PORT"
  std::vector<NameValue> data;        // transaction data pairs; all must match
  std::vector<NameValue> stitch;      // stitch pairs; all must match
  bool stuck_only = false;
  bool sort_by_duration = false;  // otherwise by start time
  bool ascending = false;
  uint32_t limit = 50;  // already capped by the caller
  std::string cursor;   // empty, or the "next" of an earlier answer
};

// A slice of one transaction's own events: `limit` of them from index `from` of the whole
// transaction's time order (the order and the indices of a detail's "events").
struct EventPage {
  int64_t from = 0;
  uint32_t limit = 0;  // already capped by the caller
};

enum class ReadStatus {
  kOk,
  kNotFound,    // no such transaction (404)
  kBadRequest,  // e.g. a cursor the store did not make (400); the reason is in *error
  kFailed,      // the store could not answer (500); the reason is in *error
  kTimedOut,    // the store's work for one request ran past its time bound (503)
};

class TransactionReader {
 public:
  virtual ~TransactionReader() = default;
  // {"total", "truncated", "next", "transactions": [summary...]}.
  virtual ReadStatus search(const TransactionQuery &query, nlohmann::ordered_json *answer,
                            std::string *error) = 0;
  // A detail: {"transaction", "events", "calls", "called", "callers", "unmatched", "notes"}.
  virtual ReadStatus transaction(const std::string &key, nlohmann::ordered_json *answer,
                                 std::string *error) = 0;
  // {"clients": [...]}.
  virtual ReadStatus clients(nlohmann::ordered_json *answer, std::string *error) = 0;

  // Paged answers, for transactions too large to send whole. They are the JSON text itself (with
  // no line break at the end), so that events can be written without building a document each.
  // A store that cannot page answers kFailed.
  //
  // The detail of transaction() with only `page` of its own events, "events_from" and
  // "events_total" before them; calls, callers, unmatched links and notes are still the whole
  // transaction's, and the called transactions carry a bounded number of events.
  virtual ReadStatus transaction_page(const std::string &key, const EventPage &page,
                                      std::string *json, std::string *error) {
    (void)key, (void)page, (void)json;
    *error = "this store does not page events";
    return ReadStatus::kFailed;
  }
  // {"key", "events_from", "events_total", "events": [...]}: the same events, with the same
  // fields, as the whole detail holds at those indices.
  virtual ReadStatus events_page(const std::string &key, const EventPage &page, std::string *json,
                                 std::string *error) {
    (void)key, (void)page, (void)json;
    *error = "this store does not page events";
    return ReadStatus::kFailed;
  }
};

}  // namespace store
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_STORE_TRANSACTION_READER_H
