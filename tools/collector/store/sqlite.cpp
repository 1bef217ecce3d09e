// The SQLite wrappers' opening, error and column helpers.
#include "tools/collector/store/sqlite.h"

namespace veska {
namespace store {

Database::~Database() {
  if (db_ != nullptr) sqlite3_close_v2(db_);
}

bool Database::open(const std::string &path, bool read_only, std::string *error) {
  const int flags = read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  // No mutex inside SQLite: each connection is used by one thread at a time.
  const int status = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (status != SQLITE_OK) {
    *error = "cannot open store '" + path +
             "': " + (db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(status));
    return false;
  }
  sqlite3_extended_result_codes(db_, 1);
  // Two processes may share one file (a consumer group rebalancing): wait for the other's
  // transaction rather than failing at once.
  sqlite3_busy_timeout(db_, 10000);
  return true;
}

bool Database::exec(const char *sql, std::string *error) {
  char *message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = message != nullptr ? message : last_error();
  sqlite3_free(message);
  return false;
}

std::string Database::last_error() const {
  return db_ != nullptr ? sqlite3_errmsg(db_) : "no database";
}

Statement::~Statement() {
  if (stmt_ != nullptr) sqlite3_finalize(stmt_);
}

bool Statement::prepare(const Database &db, const std::string &sql, std::string *error) {
  if (stmt_ != nullptr) sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  if (sqlite3_prepare_v3(db.handle(), sql.c_str(), static_cast<int>(sql.size()),
                         SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) == SQLITE_OK) {
    return true;
  }
  *error = db.last_error();
  return false;
}

std::string Statement::column_bytes(int index) const {
  const void *data = sqlite3_column_blob(stmt_, index);
  const int size = sqlite3_column_bytes(stmt_, index);
  return data != nullptr ? std::string(static_cast<const char *>(data), size) : std::string();
}

}  // namespace store
}  // namespace veska
