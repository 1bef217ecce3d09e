// The SQLite reader: searches, whole transactions with their calls, callers, unmatched links
// and notes, and the clients. Events are kept as wire bytes and rendered here with the JSON
// Lines renderer, so an event reads exactly as the collector's JSON line for it, in valid
// UTF-8 whatever its bytes.
#include "tools/collector/store/sqlite_reader.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "tools/collector/decoding/decoder.h"
#include "tools/collector/outputs/output.h"
#include "tools/collector/store/event_text.h"
#include "tools/collector/store/schema.h"
#include "tools/collector/store/search_query.h"
#include "tools/collector/store/sqlite.h"
#include "tools/collector/store/stitching.h"

namespace veska {
namespace store {

namespace {

using Json = nlohmann::ordered_json;

// Bounds on one answer's work, whatever the data holds.
constexpr int64_t kEventsPerAnswer = 200000;  // events rendered across a detail and its nesting
constexpr int kCalledPerTransaction = 64;     // called transactions shown per transaction
constexpr int kCallersShown = 64;
constexpr int kLinkPartners = 256;  // events one link id is looked up for
// Events of the called transactions in a paged answer, all of them together.
constexpr int64_t kNestedEventsPerPage = 5000;

// Event bytes are arbitrary: invalid UTF-8 is written as U+FFFD, as in every answer.
std::string _dump(const Json &document) {
  return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

int64_t _now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Byte strings as the JSON lines give them: printable ASCII as a string, else {"hex": "..."}.
Json _bytes_json(const std::string &bytes) {
  bool printable = true;
  for (unsigned char c : bytes) printable = printable && c >= 0x20 && c <= 0x7E;
  if (printable) return bytes;
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex.push_back(kDigits[c >> 4]);
    hex.push_back(kDigits[c & 0x0F]);
  }
  Json object = Json::object();
  object["hex"] = hex;
  return object;
}

struct SummaryRow {
  int64_t id = 0;
  std::string transaction_id;
  int64_t start_us = 0, end_us = 0, events = 0, blocked = 0, calls = 0;
  bool finished = false;
  int64_t decided = kUndecided;
};

SummaryRow _summary_row(const Statement &row) {
  SummaryRow summary;
  summary.id = row.column_int(0);
  summary.transaction_id = row.column_bytes(1);
  summary.start_us = row.column_int(2);
  summary.end_us = row.column_int(3);
  summary.events = row.column_int(4);
  summary.blocked = row.column_int(5);
  summary.calls = row.column_int(6);
  summary.finished = row.column_int(7) != 0;
  summary.decided = row.column_int(8);
  return summary;
}

struct Loss {
  std::string peer;
  int64_t dropped = 0;
};

class SqliteReader : public TransactionReader, public LinkLookup {
 public:
  explicit SqliteReader(const StoreSettings &settings) : settings_(settings) {}
  bool open(const std::string &path, std::string *error);

  ReadStatus search(const TransactionQuery &query, Json *answer, std::string *error) override {
    arm();
    return bounded(search_now(query, answer, error), error);
  }
  ReadStatus transaction(const std::string &key, Json *answer, std::string *error) override {
    arm();
    return bounded(transaction_now(key, answer, error), error);
  }
  ReadStatus clients(Json *answer, std::string *error) override {
    arm();
    return bounded(clients_now(answer, error), error);
  }
  ReadStatus transaction_page(const std::string &key, const EventPage &page, std::string *json,
                              std::string *error) override {
    arm();
    return bounded(transaction_page_now(key, page, json, error), error);
  }
  ReadStatus events_page(const std::string &key, const EventPage &page, std::string *json,
                         std::string *error) override {
    arm();
    return bounded(events_page_now(key, page, json, error), error);
  }

  bool by_hlink(const std::string &link, std::vector<LinkEvent> *events) override {
    return link_events(&by_hlink_, link, events);
  }
  bool by_vlink(const std::string &link, std::vector<LinkEvent> *events) override {
    return link_events(&by_vlink_, link, events);
  }

 private:
  bool failed(std::string *error) {
    *error = db_.last_error();
    return false;
  }
  // Starts one request's time bound; SQLite asks _past_deadline every few thousand steps.
  void arm() {
    interrupted_ = false;
    deadline_ = std::chrono::steady_clock::now() +
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(settings_.query_seconds));
  }
  static int _past_deadline(void *self) {
    SqliteReader *reader = static_cast<SqliteReader *>(self);
    reader->interrupted_ =
        reader->interrupted_ || std::chrono::steady_clock::now() > reader->deadline_;
    return reader->interrupted_ ? 1 : 0;
  }
  ReadStatus bounded(ReadStatus status, std::string *error) const {
    if (!interrupted_) return status;
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%g", settings_.query_seconds);
    *error = std::string("the store did not answer within ") + seconds +
             " s; narrow the search (a time range, an id) and ask again";
    return ReadStatus::kTimedOut;
  }
  ReadStatus search_now(const TransactionQuery &query, Json *answer, std::string *error);
  ReadStatus transaction_now(const std::string &key, Json *answer, std::string *error);
  ReadStatus clients_now(Json *answer, std::string *error);
  ReadStatus transaction_page_now(const std::string &key, const EventPage &page, std::string *json,
                                  std::string *error);
  ReadStatus events_page_now(const std::string &key, const EventPage &page, std::string *json,
                             std::string *error);
  bool link_events(Statement *statement, const std::string &link, std::vector<LinkEvent> *out);
  bool read_summary(int64_t id, SummaryRow *row, bool *found, std::string *error);
  bool stitch_of(const SummaryRow &row, std::vector<LinkEvent> *events, Stitched *stitched,
                 std::string *error);
  bool losses(const SummaryRow &row, std::vector<std::string> *peers, std::vector<Loss> *out,
              std::string *error);
  bool summary(const SummaryRow &row, Json *out, std::string *error);
  void summary_from(const SummaryRow &row, const Stitched &stitched,
                    const std::vector<std::string> &peers, const std::vector<Loss> &lost,
                    Json *out) const;
  bool detail(int64_t id, int depth, std::set<int64_t> *visited, int64_t *budget, Json *out,
              std::string *error);
  bool events_json(int64_t id, int64_t *budget, Json *out, std::string *error);
  std::string outcome(const SummaryRow &row) const;
  ReadStatus paged_row(const std::string &key, SummaryRow *row, std::string *error);
  bool events_text(int64_t id, const EventPage &page, std::string *out, std::string *error);

  StoreSettings settings_;
  // The transaction whose own events a paged answer writes apart from its document; 0 for none
  // (row ids start at 1).
  int64_t events_written_apart_ = 0;
  Database db_;
  std::chrono::steady_clock::time_point deadline_;
  bool interrupted_ = false;
  Statement summary_by_id_, events_of_, links_of_, by_hlink_, by_vlink_, clients_of_;
  Statement statistics_before_, statistics_after_, statistics_latest_, all_clients_;
  Statement events_page_of_;
};

bool SqliteReader::open(const std::string &path, std::string *error) {
  if (open_for_reading(path, &db_, error) != SchemaStatus::kOk) return false;
  sqlite3_progress_handler(db_.handle(), 256, &SqliteReader::_past_deadline, this);
  const std::string summary = std::string("SELECT ") + kSummaryColumns + " FROM transactions ";
  const std::string partners = " LIMIT " + std::to_string(kLinkPartners);
  return summary_by_id_.prepare(db_, summary + "WHERE id = ?", error) &&
         events_of_.prepare(db_,
                            "SELECT e.connection, e.stream_offset, e.time_us, e.message, c.peer "
                            "FROM events e JOIN clients c ON c.id = e.client "
                            "WHERE e.txn = ? ORDER BY e.time_us, e.id LIMIT ?",
                            error) &&
         events_page_of_.prepare(db_,
                                 "SELECT e.connection, e.stream_offset, e.time_us, e.message, "
                                 "c.peer FROM events e JOIN clients c ON c.id = e.client "
                                 "WHERE e.txn = ? ORDER BY e.time_us, e.id LIMIT ? OFFSET ?",
                                 error) &&
         links_of_.prepare(db_,
                           "SELECT type, time_us, hlink, vlink FROM events WHERE txn = ? "
                           "ORDER BY time_us, id LIMIT ?",
                           error) &&
         by_hlink_.prepare(db_, "SELECT txn, type, time_us FROM events WHERE hlink = ?" + partners,
                           error) &&
         by_vlink_.prepare(db_, "SELECT txn, type, time_us FROM events WHERE vlink = ?" + partners,
                           error) &&
         clients_of_.prepare(db_,
                             "SELECT c.id, c.peer FROM transaction_clients t "
                             "JOIN clients c ON c.id = t.client WHERE t.txn = ? ORDER BY c.peer",
                             error) &&
         statistics_before_.prepare(db_,
                                    "SELECT events_dropped FROM client_statistics WHERE client = "
                                    "? AND received_us <= ? ORDER BY received_us DESC LIMIT 1",
                                    error) &&
         statistics_after_.prepare(db_,
                                   "SELECT events_dropped FROM client_statistics WHERE client = "
                                   "? AND received_us >= ? ORDER BY received_us LIMIT 1",
                                   error) &&
         statistics_latest_.prepare(db_,
                                    "SELECT events_dropped FROM client_statistics WHERE client = "
                                    "? ORDER BY received_us DESC LIMIT 1",
                                    error) &&
         all_clients_.prepare(db_,
                              "SELECT peer, events_dropped, connections_made, events, "
                              "last_heartbeat_us, last_seen_us, first_seen_us FROM clients "
                              "ORDER BY peer LIMIT 100000",
                              error);
}

bool SqliteReader::link_events(Statement *statement, const std::string &link,
                               std::vector<LinkEvent> *out) {
  statement->reset();
  statement->bind_blob(1, link);
  int status;
  while ((status = statement->step()) == SQLITE_ROW) {
    LinkEvent event;
    event.txn = statement->column_int(0);
    event.type = static_cast<uint16_t>(statement->column_int(1));
    event.time_us = statement->column_int(2);
    out->push_back(event);
  }
  statement->reset();
  return status == SQLITE_DONE;
}

bool SqliteReader::read_summary(int64_t id, SummaryRow *row, bool *found, std::string *error) {
  summary_by_id_.reset();
  summary_by_id_.bind_int(1, id);
  const int status = summary_by_id_.step();
  *found = status == SQLITE_ROW;
  if (*found) *row = _summary_row(summary_by_id_);
  summary_by_id_.reset();
  return status == SQLITE_ROW || status == SQLITE_DONE || failed(error);
}

std::string SqliteReader::outcome(const SummaryRow &row) const {
  if (row.decided == kCommitted) return "commit";
  if (row.decided == kRolledBack) return "rollback";
  if (row.finished) return "finished";
  const int64_t stuck_before = _now_us() - static_cast<int64_t>(settings_.stuck_after * 1e6);
  return row.start_us < stuck_before ? "stuck" : "open";
}

bool SqliteReader::stitch_of(const SummaryRow &row, std::vector<LinkEvent> *events,
                             Stitched *stitched, std::string *error) {
  links_of_.reset();
  links_of_.bind_int(1, row.id);
  links_of_.bind_int(2, kEventsPerAnswer);
  int status;
  while ((status = links_of_.step()) == SQLITE_ROW) {
    LinkEvent event;
    event.txn = row.id;
    event.type = static_cast<uint16_t>(links_of_.column_int(0));
    event.time_us = links_of_.column_int(1);
    event.has_hlink = !links_of_.column_is_null(2);
    if (event.has_hlink) event.hlink = links_of_.column_bytes(2);
    event.has_vlink = !links_of_.column_is_null(3);
    if (event.has_vlink) event.vlink = links_of_.column_bytes(3);
    events->push_back(std::move(event));
  }
  links_of_.reset();
  if (status != SQLITE_DONE) return failed(error);
  return stitch(row.id, *events, this, stitched) || failed(error);
}

// A client's drops during the transaction: how far its events_dropped rose from its last
// report at or before the start to its first report at or after the end (or its latest report,
// while none has come since). A counter that fell was restarted: all of its new value counts.
bool SqliteReader::losses(const SummaryRow &row, std::vector<std::string> *peers,
                          std::vector<Loss> *out, std::string *error) {
  std::vector<std::pair<int64_t, std::string>> clients;
  clients_of_.reset();
  clients_of_.bind_int(1, row.id);
  int status;
  while ((status = clients_of_.step()) == SQLITE_ROW) {
    clients.emplace_back(clients_of_.column_int(0), clients_of_.column_bytes(1));
  }
  clients_of_.reset();
  if (status != SQLITE_DONE) return failed(error);
  auto first_value = [&](Statement *statement, int64_t client, int64_t time_us, int64_t *value) {
    statement->reset();
    statement->bind_int(1, client);
    if (time_us >= 0) statement->bind_int(2, time_us);
    const int step = statement->step();
    if (step == SQLITE_ROW) *value = statement->column_int(0);
    statement->reset();
    return step == SQLITE_ROW || step == SQLITE_DONE;
  };
  for (const auto &client : clients) {
    peers->push_back(client.second);
    int64_t before = 0, after = -1;
    if (!first_value(&statistics_before_, client.first, row.start_us, &before) ||
        !first_value(&statistics_after_, client.first, row.end_us, &after) ||
        (after < 0 && !first_value(&statistics_latest_, client.first, -1, &after))) {
      return failed(error);
    }
    const int64_t dropped = after < 0 ? 0 : after >= before ? after - before : after;
    if (dropped > 0) out->push_back({client.second, dropped});
  }
  return true;
}

bool SqliteReader::summary(const SummaryRow &row, Json *out, std::string *error) {
  std::vector<LinkEvent> events;
  Stitched stitched;
  std::vector<std::string> peers;
  std::vector<Loss> lost;
  if (!stitch_of(row, &events, &stitched, error) || !losses(row, &peers, &lost, error)) {
    return false;
  }
  summary_from(row, stitched, peers, lost, out);
  return true;
}

void SqliteReader::summary_from(const SummaryRow &row, const Stitched &stitched,
                                const std::vector<std::string> &peers,
                                const std::vector<Loss> &lost, Json *out) const {
  int64_t dropped = 0;
  for (const Loss &loss : lost) dropped += loss.dropped;
  Json &summary = *out;
  summary = Json::object();
  summary["key"] = transaction_key(row.id);
  summary["transaction_id"] = _bytes_json(row.transaction_id);
  summary["start_us"] = row.start_us;
  summary["end_us"] = row.end_us;
  summary["duration_us"] = row.end_us - row.start_us;
  summary["outcome"] = outcome(row);
  summary["events"] = row.events;
  summary["clients"] = peers;
  summary["calls"] = row.calls;
  summary["unmatched"] = stitched.unmatched.size();
  summary["blocked"] = row.blocked;
  summary["dropped_nearby"] = dropped;
}

// One stored event as the detail's document holds it.
Json _event_json(const StoredEventRow &row) {
  wire::MessageView view;
  const uint8_t *data = reinterpret_cast<const uint8_t *>(row.message.data());
  Json event;
  std::string line;
  if (wire::check_message(data, row.message.size(), row.stream_offset, &view)) {
    collector::render_json_line(view, row.connection, row.peer, &line);
    event = Json::parse(line, nullptr, false);
  }
  if (event.is_discarded() || !event.is_object()) {
    // Stored bytes that no longer decode: shown as such rather than hidden.
    event = Json::object();
    event["kind"] = "undecodable";
    event["message"] = _bytes_json(row.message);
  }
  event["client"] = row.peer;
  event["time_us"] = row.time_us;
  return event;
}

StoredEventRow _event_row(const Statement &row) {
  StoredEventRow event;
  event.connection = static_cast<uint64_t>(row.column_int(0));
  event.stream_offset = row.column_int(1);
  event.time_us = row.column_int(2);
  event.message = row.column_bytes(3);
  event.peer = row.column_bytes(4);
  return event;
}

bool SqliteReader::events_json(int64_t id, int64_t *budget, Json *out, std::string *error) {
  *out = Json::array();
  events_of_.reset();
  events_of_.bind_int(1, id);
  events_of_.bind_int(2, std::max<int64_t>(*budget, 0));
  int status;
  while ((status = events_of_.step()) == SQLITE_ROW) {
    out->push_back(_event_json(_event_row(events_of_)));
    --*budget;
  }
  events_of_.reset();
  return status == SQLITE_DONE || failed(error);
}

bool SqliteReader::detail(int64_t id, int depth, std::set<int64_t> *visited, int64_t *budget,
                          Json *out, std::string *error) {
  visited->insert(id);
  SummaryRow row;
  bool found = false;
  if (!read_summary(id, &row, &found, error)) return false;
  if (!found) return true;  // retention took it between two reads
  std::vector<LinkEvent> links;
  Stitched stitched;
  std::vector<std::string> peers;
  std::vector<Loss> lost;
  Json summary_json, events = Json::array();
  const bool apart = id == events_written_apart_;
  if (!stitch_of(row, &links, &stitched, error) || !losses(row, &peers, &lost, error) ||
      (!apart && !events_json(id, budget, &events, error))) {
    return false;
  }
  summary_from(row, stitched, peers, lost, &summary_json);
  Json &whole = *out;
  whole = Json::object();
  whole["transaction"] = summary_json;
  if (!apart && static_cast<int64_t>(events.size()) < row.events) {
    whole["events_truncated"] = true;
  }
  whole["events"] = std::move(events);

  // Callee rows, read once for the calls' keys, the skew notes and the nesting.
  std::map<int64_t, SummaryRow> callees;
  for (int64_t callee : stitched.callees) {
    if (static_cast<int>(callees.size()) >= kCalledPerTransaction) break;
    SummaryRow callee_row;
    if (!read_summary(callee, &callee_row, &found, error)) return false;
    if (found) callees.emplace(callee, callee_row);
  }

  Json calls = Json::array(), notes = Json::array();
  for (const Call &call : stitched.calls) {
    Json entry = Json::object();
    entry["link_id"] = _bytes_json(call.link_id);
    entry["outbound_index"] = call.outbound_index;
    entry["answer_index"] = call.answered ? Json(call.answer_index) : Json(nullptr);
    entry["start_us"] = call.start_us;
    entry["end_us"] = call.answered ? Json(call.end_us) : Json(nullptr);
    entry["duration_us"] = call.answered ? Json(call.end_us - call.start_us) : Json(nullptr);
    Json keys = Json::array();
    for (int64_t callee : call.callees) {
      keys.push_back(transaction_key(callee));
      auto callee_row = callees.find(callee);
      if (callee_row == callees.end()) continue;
      const SummaryRow &served = callee_row->second;
      const bool early = served.start_us < call.start_us;
      const bool late = call.answered && served.end_us > call.end_us;
      if (!early && !late) continue;
      Json note = Json::object();
      note["kind"] = "skew";
      note["text"] = std::string("the called transaction's events lie ") +
                     (early ? "before the OUTBOUND" : "after the answer") +
                     ": the two clients' clocks disagree; times are shown as recorded";
      note["link_id"] = _bytes_json(call.link_id);
      note["callee_key"] = transaction_key(callee);
      note["early_us"] = early ? call.start_us - served.start_us : 0;
      note["late_us"] = late ? served.end_us - call.end_us : 0;
      notes.push_back(std::move(note));
    }
    entry["callee_keys"] = std::move(keys);
    calls.push_back(std::move(entry));
  }
  for (const Loss &loss : lost) {
    Json note = Json::object();
    note["kind"] = "loss";
    note["text"] = "client " + loss.peer + " dropped " + std::to_string(loss.dropped) +
                   " events while this transaction ran: it may be incomplete";
    note["client"] = loss.peer;
    note["events_dropped"] = loss.dropped;
    notes.push_back(std::move(note));
  }

  Json called = Json::array();
  bool cut = false;
  for (const auto &callee : callees) {
    if (visited->count(callee.first) != 0) continue;  // a cycle, or shown already
    if (depth >= kCalledDepth || *budget <= 0) {
      cut = true;
      continue;
    }
    Json nested;
    if (!detail(callee.first, depth + 1, visited, budget, &nested, error)) return false;
    if (!nested.is_null()) called.push_back(std::move(nested));
  }
  if (stitched.callees.size() > callees.size()) cut = true;
  whole["calls"] = std::move(calls);
  whole["called"] = std::move(called);
  if (cut) whole["truncated"] = true;

  Json callers = Json::array();
  int shown = 0;
  for (int64_t caller : stitched.callers) {
    if (shown++ >= kCallersShown) break;
    SummaryRow caller_row;
    Json caller_json;
    if (!read_summary(caller, &caller_row, &found, error)) return false;
    if (!found) continue;
    if (!summary(caller_row, &caller_json, error)) return false;
    callers.push_back(std::move(caller_json));
  }
  whole["callers"] = std::move(callers);

  Json unmatched = Json::array();
  for (const UnmatchedLink &link : stitched.unmatched) {
    Json entry = Json::object();
    entry["event_index"] = link.event_index;
    entry["link_id"] = _bytes_json(link.link_id);
    entry["kind"] = link.vertical ? "vertical" : "horizontal";
    entry["reason"] = link.reason;
    unmatched.push_back(std::move(entry));
  }
  whole["unmatched"] = std::move(unmatched);
  whole["notes"] = std::move(notes);
  return true;
}

ReadStatus SqliteReader::search_now(const TransactionQuery &query, Json *answer,
                                    std::string *error) {
  SearchSql sql;
  const int64_t stuck_before = _now_us() - static_cast<int64_t>(settings_.stuck_after * 1e6);
  bool probe_failed = false;
  const DenseProbe dense = [&](const std::string &probe_from,
                               const std::vector<SearchSql::Value> &values) {
    Statement probe;
    std::string ignored;
    if (!probe.prepare(db_,
                       "SELECT count(*) FROM (SELECT 1 " + probe_from + " LIMIT " +
                           std::to_string(kDenseRows) + ")",
                       &ignored)) {
      probe_failed = true;
      return false;
    }
    SearchSql::bind(&probe, values);
    return probe.step() == SQLITE_ROW && probe.column_int(0) >= kDenseRows;
  };
  if (!build_search(query, stuck_before, dense, &sql, error)) return ReadStatus::kBadRequest;
  if (probe_failed) {
    *error = db_.last_error();
    return ReadStatus::kFailed;
  }
  Statement count, page;
  if (!count.prepare(db_, sql.count, error) || !page.prepare(db_, sql.page, error)) {
    return ReadStatus::kFailed;
  }
  SearchSql::bind(&count, sql.count_values);
  if (count.step() != SQLITE_ROW) return failed(error), ReadStatus::kFailed;
  const int64_t counted = count.column_int(0);

  SearchSql::bind(&page, sql.page_values);
  std::vector<SummaryRow> rows;
  int status;
  while ((status = page.step()) == SQLITE_ROW) rows.push_back(_summary_row(page));
  if (status != SQLITE_DONE) return failed(error), ReadStatus::kFailed;
  const size_t limit = std::min<uint32_t>(query.limit, kMaxLimit);
  Json next = nullptr;
  if (rows.size() > limit) {
    rows.resize(limit);
    if (!rows.empty()) {
      const SummaryRow &last = rows.back();
      next = make_cursor(
          query, query.sort_by_duration ? last.end_us - last.start_us : last.start_us, last.id);
    }
  }
  Json transactions = Json::array();
  for (const SummaryRow &row : rows) {
    Json summary_json;
    if (!summary(row, &summary_json, error)) return ReadStatus::kFailed;
    transactions.push_back(std::move(summary_json));
  }
  Json &out = *answer;
  out = Json::object();
  bool unseen = false;  // transactions older than the count's window exist
  if (sql.windowed && counted <= kTotalCap) {
    Statement older;
    if (!older.prepare(db_,
                       "SELECT (SELECT min(id) FROM transactions) <= "
                       "(SELECT max(id) FROM transactions) - " +
                           std::to_string(kCountWindow),
                       error) ||
        older.step() != SQLITE_ROW) {
      return failed(error), ReadStatus::kFailed;
    }
    unseen = older.column_int(0) != 0;
  }
  out["total"] = std::min(counted, kTotalCap);
  out["truncated"] = counted > kTotalCap || unseen;
  out["next"] = next;
  out["transactions"] = std::move(transactions);
  return ReadStatus::kOk;
}

ReadStatus SqliteReader::transaction_now(const std::string &key, Json *answer, std::string *error) {
  int64_t id = 0;
  if (!parse_transaction_key(key, &id)) {
    *error = "no transaction has this key";
    return ReadStatus::kNotFound;
  }
  SummaryRow row;
  bool found = false;
  if (!read_summary(id, &row, &found, error)) return ReadStatus::kFailed;
  if (!found) {
    *error = "no transaction has this key (retention may have removed it)";
    return ReadStatus::kNotFound;
  }
  std::set<int64_t> visited;
  int64_t budget = kEventsPerAnswer;
  if (!detail(id, 0, &visited, &budget, answer, error)) return ReadStatus::kFailed;
  return ReadStatus::kOk;
}

ReadStatus SqliteReader::paged_row(const std::string &key, SummaryRow *row, std::string *error) {
  bool found = false;
  if (parse_transaction_key(key, &row->id) && !read_summary(row->id, row, &found, error)) {
    return ReadStatus::kFailed;
  }
  if (found) return ReadStatus::kOk;
  *error = "no transaction has this key (retention may have removed it)";
  return ReadStatus::kNotFound;
}

// The page's events joined by commas, each rendered as text where it can be.
bool SqliteReader::events_text(int64_t id, const EventPage &page, std::string *out,
                               std::string *error) {
  events_page_of_.reset();
  events_page_of_.bind_int(1, id);
  events_page_of_.bind_int(2, page.limit);
  events_page_of_.bind_int(3, std::max<int64_t>(page.from, 0));
  int status;
  bool first = true;
  while ((status = events_page_of_.step()) == SQLITE_ROW) {
    const StoredEventRow row = _event_row(events_page_of_);
    if (!first) out->push_back(',');
    first = false;
    if (!append_event_text(row, out)) out->append(_dump(_event_json(row)));
  }
  events_page_of_.reset();
  return status == SQLITE_DONE || failed(error);
}

ReadStatus SqliteReader::transaction_page_now(const std::string &key, const EventPage &page,
                                              std::string *json, std::string *error) {
  SummaryRow row;
  const ReadStatus found = paged_row(key, &row, error);
  if (found != ReadStatus::kOk) return found;
  std::set<int64_t> visited;
  int64_t budget = kNestedEventsPerPage;
  Json whole;
  events_written_apart_ = row.id;
  const bool done = detail(row.id, 0, &visited, &budget, &whole, error);
  events_written_apart_ = 0;
  if (!done) return ReadStatus::kFailed;
  // The document's members in their order, its own events written in place of the empty list.
  json->assign("{");
  for (auto member = whole.begin(); member != whole.end(); ++member) {
    if (member != whole.begin()) json->push_back(',');
    if (member.key() == "events") {
      json->append("\"events_from\":" + std::to_string(page.from) +
                   ",\"events_total\":" + std::to_string(row.events) + ",\"events\":[");
      if (!events_text(row.id, page, json, error)) return ReadStatus::kFailed;
      json->push_back(']');
    } else {
      json->append(_dump(Json(member.key())) + ":" + _dump(member.value()));
    }
  }
  json->push_back('}');
  return ReadStatus::kOk;
}

ReadStatus SqliteReader::events_page_now(const std::string &key, const EventPage &page,
                                         std::string *json, std::string *error) {
  SummaryRow row;
  const ReadStatus found = paged_row(key, &row, error);
  if (found != ReadStatus::kOk) return found;
  json->assign("{\"key\":" + _dump(Json(transaction_key(row.id))) +
               ",\"events_from\":" + std::to_string(page.from) +
               ",\"events_total\":" + std::to_string(row.events) + ",\"events\":[");
  if (!events_text(row.id, page, json, error)) return ReadStatus::kFailed;
  json->append("]}");
  return ReadStatus::kOk;
}

ReadStatus SqliteReader::clients_now(Json *answer, std::string *error) {
  Json list = Json::array();
  all_clients_.reset();
  int status;
  while ((status = all_clients_.step()) == SQLITE_ROW) {
    Json client = Json::object();
    client["peer"] = all_clients_.column_bytes(0);
    client["events_dropped"] = all_clients_.column_int(1);
    client["connections_made"] = all_clients_.column_int(2);
    client["events"] = all_clients_.column_int(3);
    client["last_heartbeat_us"] =
        all_clients_.column_is_null(4) ? Json(nullptr) : Json(all_clients_.column_int(4));
    client["last_seen_us"] = all_clients_.column_int(5);
    client["first_seen_us"] = all_clients_.column_int(6);
    list.push_back(std::move(client));
  }
  all_clients_.reset();
  if (status != SQLITE_DONE) return failed(error), ReadStatus::kFailed;
  *answer = Json::object();
  (*answer)["clients"] = std::move(list);
  return ReadStatus::kOk;
}

}  // namespace

std::string transaction_key(int64_t id) {
  static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string key;
  uint64_t value = static_cast<uint64_t>(id);
  do {
    key.insert(key.begin(), kDigits[value % 36]);
    value /= 36;
  } while (value != 0);
  return key;
}

bool parse_transaction_key(const std::string &key, int64_t *id) {
  // 12 base-36 digits exceed every row id SQLite hands out; longer texts are no key.
  if (key.empty() || key.size() > 12 || (key.size() > 1 && key[0] == '0')) return false;
  int64_t value = 0;
  for (char c : key) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'z') {
      digit = c - 'a' + 10;
    } else {
      return false;
    }
    value = value * 36 + digit;
  }
  *id = value;
  return true;
}

std::unique_ptr<TransactionReader> open_transaction_reader(const std::string &path,
                                                           const StoreSettings &settings,
                                                           std::string *error) {
  std::unique_ptr<SqliteReader> reader(new SqliteReader(settings));
  if (!reader->open(path, error)) return nullptr;
  return reader;
}

}  // namespace store
}  // namespace veska
