// The search's SQL. Pages follow the sort key and the row id (keyset paging), so a page costs
// the same however deep it is and rows written meanwhile never shift the pages.
#include "tools/collector/store/search_query.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "tools/collector/store/schema.h"

namespace veska {
namespace store {

const char kSummaryColumns[] =
    "id, transaction_id, start_us, end_us, events, blocked, calls, finished, decided";

namespace {

const char *_sort_tag(const TransactionQuery &query) {
  if (query.sort_by_duration) return query.ascending ? "da" : "dd";
  return query.ascending ? "sa" : "sd";
}

bool _parse_int(const std::string &text, int64_t *value) {
  if (text.empty() || text.size() > 20) return false;
  size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t j = i; j < text.size(); ++j) {
    if (!isdigit(static_cast<unsigned char>(text[j]))) return false;
  }
  errno = 0;
  char *end = nullptr;
  const long long parsed = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = parsed;
  return true;
}

// Cursors read "TAG~SORTVALUE~ID".
bool _parse_cursor(const TransactionQuery &query, int64_t *sort_value, int64_t *id) {
  const std::string &cursor = query.cursor;
  if (cursor.size() > 64 || cursor.compare(0, 3, std::string(_sort_tag(query)) + "~") != 0) {
    return false;
  }
  const size_t second = cursor.find('~', 3);
  if (second == std::string::npos) return false;
  return _parse_int(cursor.substr(3, second - 3), sort_value) &&
         _parse_int(cursor.substr(second + 1), id);
}

class _Builder {
 public:
  explicit _Builder(const DenseProbe &dense) : dense_(dense) {}
  // A condition that narrows through an index of its own whatever the data (an exact id).
  void where(const std::string &condition, const std::vector<SearchSql::Value> &values = {},
             bool selective = false) {
    selective_ = selective_ || selective;
    add(condition, values);
  }
  // A condition with an index of its own: kept as it is while it is rare, written as scanned
  // (so that the order's index leads) once it is common. probe is where its rows are counted:
  // "FROM table WHERE ..." with the same values.
  void choose(const std::string &indexed, const std::string &scanned,
              const std::vector<SearchSql::Value> &values, const std::string &probe = "") {
    const bool common =
        dense_ && dense_(probe.empty() ? "FROM transactions WHERE " + indexed : probe, values);
    selective_ = selective_ || !common;
    add(common ? scanned : indexed, values);
  }
  const std::string &text() const { return text_; }
  // Whether some condition finds its few rows through its own index: the page is then sorted
  // from those rows, and counted from them exactly (up to the cap).
  bool selective() const { return selective_; }
  const std::vector<SearchSql::Value> &values() const { return values_; }

 private:
  void add(const std::string &condition, const std::vector<SearchSql::Value> &values) {
    text_ += text_.empty() ? " WHERE " : " AND ";
    text_ += condition;
    values_.insert(values_.end(), values.begin(), values.end());
  }

  const DenseProbe &dense_;
  std::string text_;
  bool selective_ = false;
  std::vector<SearchSql::Value> values_;
};

SearchSql::Value _int(int64_t number) { return {true, number, {}}; }
SearchSql::Value _blob(const std::string &bytes) { return {false, 0, bytes}; }

void _outcome(const std::string &outcome, int64_t stuck_before_us, _Builder *where) {
  // The outcome index holds only undecided and rolled back rows: "decided != 2" repeats its
  // WHERE so that SQLite may use it.
  if (outcome == "commit") {
    where->choose("decided = 2", "+decided = 2", {});
  } else if (outcome == "rollback") {
    where->choose("decided != 2 AND decided = 3", "+decided = 3", {});
  } else if (outcome == "finished") {
    where->choose("decided != 2 AND decided = 0 AND finished = 1", "+decided = 0 AND +finished = 1",
                  {});
  } else if (outcome == "open") {
    where->choose("decided != 2 AND decided = 0 AND finished = 0 AND start_us >= ?",
                  "+decided = 0 AND +finished = 0 AND +start_us >= ?", {_int(stuck_before_us)});
  } else if (outcome == "stuck") {
    where->choose("decided != 2 AND decided = 0 AND finished = 0 AND start_us < ?",
                  "+decided = 0 AND +finished = 0 AND +start_us < ?", {_int(stuck_before_us)});
  } else {
    where->where("0");  // an outcome no transaction has
  }
}

// Rows of a side table (pairs, clients) as a rare set of ids, or checked row by row. Its
// density is counted in the side table itself, never by building the whole set of ids.
void _side(const std::string &select, const std::vector<SearchSql::Value> &values,
           _Builder *where) {
  where->choose("id IN (SELECT txn FROM " + select + ")",
                "EXISTS (SELECT 1 FROM " + select + " AND txn = transactions.id)", values,
                "FROM " + select);
}

}  // namespace

void SearchSql::bind(Statement *statement, const std::vector<Value> &values) {
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i].is_int) {
      statement->bind_int(static_cast<int>(i + 1), values[i].number);
    } else {
      statement->bind_blob(static_cast<int>(i + 1), values[i].bytes);
    }
  }
}

std::string make_cursor(const TransactionQuery &query, int64_t sort_value, int64_t id) {
  return std::string(_sort_tag(query)) + "~" + std::to_string(sort_value) + "~" +
         std::to_string(id);
}

bool build_search(const TransactionQuery &query, int64_t stuck_before_us, const DenseProbe &dense,
                  SearchSql *sql, std::string *error) {
  _Builder where(dense);
  if (query.id) where.where("transaction_id = ?", {_blob(*query.id)}, true);
  if (query.id_prefix && !query.id_prefix->empty()) {
    // A range on the unique index: from the prefix up to the next prefix of its length.
    std::string upper = *query.id_prefix;
    while (!upper.empty() && static_cast<unsigned char>(upper.back()) == 0xFF) upper.pop_back();
    if (upper.empty()) {
      where.choose("transaction_id >= ?", "+transaction_id >= ?", {_blob(*query.id_prefix)});
    } else {
      upper.back() = static_cast<char>(static_cast<unsigned char>(upper.back()) + 1);
      where.choose("transaction_id >= ? AND transaction_id < ?",
                   "+transaction_id >= ? AND +transaction_id < ?",
                   {_blob(*query.id_prefix), _blob(upper)});
    }
  }
  if (query.outcome) _outcome(*query.outcome, stuck_before_us, &where);
  if (query.stuck_only) _outcome("stuck", stuck_before_us, &where);
  if (query.min_duration_us) {
    where.choose("end_us - start_us >= ?", "+(end_us - start_us) >= ?",
                 {_int(*query.min_duration_us)});
  }
  if (query.max_duration_us) {
    where.choose("end_us - start_us <= ?", "+(end_us - start_us) <= ?",
                 {_int(*query.max_duration_us)});
  }
  // The time range shares the start order's index: it only leads when sorting by duration.
  if (query.from_us) {
    if (query.sort_by_duration) {
      where.choose("start_us >= ?", "+start_us >= ?", {_int(*query.from_us)});
    } else {
      where.where("start_us >= ?", {_int(*query.from_us)});
    }
  }
  if (query.to_us) {
    if (query.sort_by_duration) {
      where.choose("start_us <= ?", "+start_us <= ?", {_int(*query.to_us)});
    } else {
      where.where("start_us <= ?", {_int(*query.to_us)});
    }
  }
  if (query.client) {
    _side(
        "transaction_clients WHERE client = (SELECT id FROM clients WHERE peer = CAST(? AS TEXT))",
        {_blob(*query.client)}, &where);
  }
  for (const TransactionQuery::NameValue &pair : query.data) {
    _side("pairs WHERE kind = " + std::to_string(kTransactionData) + " AND name = ? AND value = ?",
          {_blob(pair.name), _blob(pair.value)}, &where);
  }
  for (const TransactionQuery::NameValue &pair : query.stitch) {
    _side("pairs WHERE kind = " + std::to_string(kStitch) + " AND name = ? AND value = ?",
          {_blob(pair.name), _blob(pair.value)}, &where);
  }
  // Without a selective condition the count walks rows and checks each: it looks at the latest
  // kCountWindow transactions at most, and says truncated when older ones were not looked at.
  sql->count = "SELECT count(*) FROM (SELECT 1 FROM transactions" + where.text() +
               (where.selective() ? std::string()
                                  : std::string(where.text().empty() ? " WHERE " : " AND ") +
                                        "id > (SELECT max(id) FROM transactions) - " +
                                        std::to_string(kCountWindow)) +
               " LIMIT " + std::to_string(kTotalCap + 1) + ")";
  sql->count_values = where.values();
  sql->windowed = !where.selective();

  const std::string key = query.sort_by_duration ? "(end_us - start_us)" : "start_us";
  const char *direction = query.ascending ? " ASC" : " DESC";
  if (!query.cursor.empty()) {
    int64_t sort_value = 0, id = 0;
    if (!_parse_cursor(query, &sort_value, &id)) {
      *error = "the cursor was not made by this store for this order";
      return false;
    }
    where.where("(" + key + ", id) " + (query.ascending ? ">" : "<") + " (?, ?)",
                {_int(sort_value), _int(id)});
  }
  // A selective condition's rows are few: sorted after they are found, instead of walking the
  // order's index past every row that fails the condition.
  sql->page = std::string("SELECT ") + kSummaryColumns + " FROM transactions" + where.text() +
              " ORDER BY " + (where.selective() ? "+" : "") + key + direction + ", id" + direction +
              " LIMIT " +
              std::to_string(static_cast<uint64_t>(std::min<uint32_t>(query.limit, kMaxLimit)) + 1);
  sql->page_values = where.values();
  return true;
}

}  // namespace store
}  // namespace veska
