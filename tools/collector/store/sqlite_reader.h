// The SQLite store's answers to the query side: opens its own read connection, which WAL lets
// read beside the writer. A reader is used by one thread at a time (the HTTP thread); open one
// per thread if several answer requests.
#ifndef VESKA_TOOLS_COLLECTOR_STORE_SQLITE_READER_H
#define VESKA_TOOLS_COLLECTOR_STORE_SQLITE_READER_H

#include <memory>
#include <string>

#include "tools/collector/store/store_settings.h"
#include "tools/collector/store/transaction_reader.h"

namespace veska {
namespace store {

// How deep "called" nests transactions called by transactions; deeper ones are cut and marked
// "truncated": true.
constexpr int kCalledDepth = 3;

// Opens a reader of the store at path (which the store output has created). Null with the
// reason in *error.
std::unique_ptr<TransactionReader> open_transaction_reader(const std::string &path,
                                                           const StoreSettings &settings,
                                                           std::string *error);

// The key of a transaction row (its id in base 36), and back; false for a text no key has.
std::string transaction_key(int64_t id);
bool parse_transaction_key(const std::string &key, int64_t *id);

}  // namespace store
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_STORE_SQLITE_READER_H
