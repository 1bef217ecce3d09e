// The store's tables and their version: creating a new store, checking an existing one, and
// refusing a file this collector did not make or whose version it does not know.
#ifndef VESKA_TOOLS_COLLECTOR_STORE_SCHEMA_H
#define VESKA_TOOLS_COLLECTOR_STORE_SCHEMA_H

#include <string>

#include "tools/collector/store/sqlite.h"

namespace veska {
namespace store {

// Written as SQLite's user_version; a store of any other version is refused, never rewritten.
constexpr int kSchemaVersion = 2;

// Kinds of the name/value rows that searches match on.
enum PairKind { kTransactionData = 0, kStitch = 1, kContext = 2 };

// Outcome words a transaction row stores in its "decided" column.
enum Decided { kUndecided = 0, kCommitted = 2, kRolledBack = 3 };

enum class SchemaStatus { kOk, kRefused, kFailed };

// Opens the writer's connection: WAL, the tables created when the file is new, the version
// checked when it is not. kRefused: the file belongs to something else or another version.
SchemaStatus open_for_writing(const std::string &path, Database *db, std::string *error);
// Opens a reading connection to an existing store of this version.
SchemaStatus open_for_reading(const std::string &path, Database *db, std::string *error);

}  // namespace store
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_STORE_SCHEMA_H
