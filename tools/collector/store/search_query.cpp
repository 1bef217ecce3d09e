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
  void where(const std::string &condition) {
    text_ += text_.empty() ? " WHERE " : " AND ";
    text_ += condition;
  }
  void value(int64_t number) { values_.push_back({true, number, {}}); }
  void value(const std::string &bytes) { values_.push_back({false, 0, bytes}); }
  const std::string &text() const { return text_; }
  const std::vector<SearchSql::Value> &values() const { return values_; }

 private:
  std::string text_;
  std::vector<SearchSql::Value> values_;
};

void _outcome(const std::string &outcome, int64_t stuck_before_us, _Builder *where) {
  if (outcome == "commit") {
    where->where("decided = " + std::to_string(kCommitted));
  } else if (outcome == "rollback") {
    where->where("decided = " + std::to_string(kRolledBack));
  } else if (outcome == "finished") {
    where->where("decided = 0 AND finished = 1");
  } else if (outcome == "open") {
    where->where("decided = 0 AND finished = 0 AND start_us >= ?");
    where->value(stuck_before_us);
  } else if (outcome == "stuck") {
    where->where("decided = 0 AND finished = 0 AND start_us < ?");
    where->value(stuck_before_us);
  } else {
    where->where("0");  // an outcome no transaction has
  }
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

bool build_search(const TransactionQuery &query, int64_t stuck_before_us, SearchSql *sql,
                  std::string *error) {
  _Builder where;
  if (query.id) {
    where.where("transaction_id = ?");
    where.value(*query.id);
  }
  if (query.id_prefix && !query.id_prefix->empty()) {
    // A range on the unique index: from the prefix up to the next prefix of its length.
    where.where("transaction_id >= ?");
    where.value(*query.id_prefix);
    std::string upper = *query.id_prefix;
    while (!upper.empty() && static_cast<unsigned char>(upper.back()) == 0xFF) upper.pop_back();
    if (!upper.empty()) {
      upper.back() = static_cast<char>(static_cast<unsigned char>(upper.back()) + 1);
      where.where("transaction_id < ?");
      where.value(upper);
    }
  }
  if (query.outcome) _outcome(*query.outcome, stuck_before_us, &where);
  if (query.stuck_only) _outcome("stuck", stuck_before_us, &where);
  if (query.min_duration_us) {
    where.where("end_us - start_us >= ?");
    where.value(*query.min_duration_us);
  }
  if (query.max_duration_us) {
    where.where("end_us - start_us <= ?");
    where.value(*query.max_duration_us);
  }
  if (query.from_us) {
    where.where("start_us >= ?");
    where.value(*query.from_us);
  }
  if (query.to_us) {
    where.where("start_us <= ?");
    where.value(*query.to_us);
  }
  if (query.client) {
    where.where(
        "id IN (SELECT txn FROM transaction_clients WHERE client = "
        "(SELECT id FROM clients WHERE peer = CAST(? AS TEXT)))");
    where.value(*query.client);
  }
  for (const TransactionQuery::NameValue &pair : query.data) {
    where.where("id IN (SELECT txn FROM pairs WHERE kind = " + std::to_string(kTransactionData) +
                " AND name = ? AND value = ?)");
    where.value(pair.name);
    where.value(pair.value);
  }
  for (const TransactionQuery::NameValue &pair : query.stitch) {
    where.where("id IN (SELECT txn FROM pairs WHERE kind = " + std::to_string(kStitch) +
                " AND name = ? AND value = ?)");
    where.value(pair.name);
    where.value(pair.value);
  }
  sql->count = "SELECT count(*) FROM (SELECT 1 FROM transactions" + where.text() + " LIMIT " +
               std::to_string(kTotalCap + 1) + ")";
  sql->count_values = where.values();

  const std::string key = query.sort_by_duration ? "(end_us - start_us)" : "start_us";
  const char *direction = query.ascending ? " ASC" : " DESC";
  if (!query.cursor.empty()) {
    int64_t sort_value = 0, id = 0;
    if (!_parse_cursor(query, &sort_value, &id)) {
      *error = "the cursor was not made by this store for this order";
      return false;
    }
    where.where("(" + key + ", id) " + (query.ascending ? ">" : "<") + " (?, ?)");
    where.value(sort_value);
    where.value(id);
  }
  sql->page = std::string("SELECT ") + kSummaryColumns + " FROM transactions" + where.text() +
              " ORDER BY " + key + direction + ", id" + direction + " LIMIT " +
              std::to_string(static_cast<uint64_t>(std::min<uint32_t>(query.limit, kMaxLimit)) + 1);
  sql->page_values = where.values();
  return true;
}

}  // namespace store
}  // namespace veska
