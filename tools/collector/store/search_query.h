// Turns a TransactionQuery into the SQL that answers it: the filters, the order, the page after
// a cursor, and the capped count. Every value is bound, never spliced into the text.
#ifndef VESKA_TOOLS_COLLECTOR_STORE_SEARCH_QUERY_H
#define VESKA_TOOLS_COLLECTOR_STORE_SEARCH_QUERY_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/collector/store/sqlite.h"
#include "tools/collector/store/transaction_reader.h"

namespace veska {
namespace store {

// The columns a summary is made of, in this order, for the search and the detail alike.
extern const char kSummaryColumns[];

// A search's total is counted up to this, then reported truncated.
constexpr int64_t kTotalCap = 10000;
// A search without a selective condition counts its matches among this many of the latest
// transactions at most (and says truncated when the store holds older ones).
constexpr int64_t kCountWindow = 20000;
// The most summaries one page holds, whatever the caller asks.
constexpr uint32_t kMaxLimit = 1000;

struct SearchSql {
  struct Value {
    bool is_int = true;
    int64_t number = 0;
    std::string bytes;
  };
  std::string page;       // the summaries of one page, limit + 1 rows
  std::string count;      // the capped count
  bool windowed = false;  // the count looked only at the latest kCountWindow transactions
  std::vector<Value> page_values, count_values;

  static void bind(Statement *statement, const std::vector<Value> &values);
};

// Whether a condition alone matches at least kDenseRows rows of the table it is counted in
// (probe: "FROM table WHERE ..."). A rare condition is best answered from its own index and the
// few rows sorted; a common one by walking the order's index and checking each row, which finds
// a page long before the end.
constexpr int64_t kDenseRows = 10000;
using DenseProbe =
    std::function<bool(const std::string &probe, const std::vector<SearchSql::Value> &values)>;

// The cursor of the row after which the next page starts.
std::string make_cursor(const TransactionQuery &query, int64_t sort_value, int64_t id);

// False with the reason in *error for a cursor this store did not make for this order.
bool build_search(const TransactionQuery &query, int64_t stuck_before_us, const DenseProbe &dense,
                  SearchSql *sql, std::string *error);

}  // namespace store
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_STORE_SEARCH_QUERY_H
