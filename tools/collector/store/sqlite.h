// Small owning wrappers over SQLite's C API: a connection and a prepared statement, each closed
// by its destructor, with binds and column reads that keep byte strings as bytes.
#ifndef VESKA_TOOLS_COLLECTOR_STORE_SQLITE_H
#define VESKA_TOOLS_COLLECTOR_STORE_SQLITE_H

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace veska {
namespace store {

class Database {
 public:
  Database() = default;
  ~Database();
  Database(const Database &) = delete;
  Database &operator=(const Database &) = delete;

  // Opens (read_only: without creating) the file; false with the reason in *error.
  bool open(const std::string &path, bool read_only, std::string *error);
  // Runs statements without results; false with SQLite's message in *error.
  bool exec(const char *sql, std::string *error);
  sqlite3 *handle() const { return db_; }
  std::string last_error() const;

 private:
  sqlite3 *db_ = nullptr;
};

class Statement {
 public:
  Statement() = default;
  ~Statement();
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;

  bool prepare(const Database &db, const std::string &sql, std::string *error);
  bool prepared() const { return stmt_ != nullptr; }

  // Binds are 1-based, as in SQLite; the bytes are copied.
  void bind_int(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
  void bind_null(int index) { sqlite3_bind_null(stmt_, index); }
  void bind_blob(int index, const void *data, size_t size) {
    sqlite3_bind_blob64(stmt_, index, size != 0 ? data : "", size, SQLITE_TRANSIENT);
  }
  // Without a copy: the bytes must stay as they are until the statement is reset or rebound
  // (the writer's batch outlives its statements' steps).
  void bind_blob_in_place(int index, const void *data, size_t size) {
    sqlite3_bind_blob64(stmt_, index, size != 0 ? data : "", size, SQLITE_STATIC);
  }
  void bind_blob(int index, const std::string &bytes) {
    bind_blob(index, bytes.data(), bytes.size());
  }
  void bind_text(int index, const std::string &text) {
    sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  }

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return sqlite3_step(stmt_); }
  // Ready for the next use: bindings cleared as well.
  void reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

  int64_t column_int(int index) const { return sqlite3_column_int64(stmt_, index); }
  bool column_is_null(int index) const { return sqlite3_column_type(stmt_, index) == SQLITE_NULL; }
  std::string column_bytes(int index) const;

 private:
  sqlite3_stmt *stmt_ = nullptr;
};

}  // namespace store
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_STORE_SQLITE_H
