// The store's schema in one place. Transactions, their events (with the message's wire bytes,
// rendered to JSON only when read) kept together per transaction, the name/value pairs searches
// use, the clients and their statistics history, and the Kafka positions already stored.
// Every index costs each written event a B-tree insert, so there are only the ones a read needs.
#include "tools/collector/store/schema.h"

namespace veska {
namespace store {

namespace {

// "vska": marks the file as ours, so that another program's database is never written to.
constexpr int kApplicationId = 0x76736b61;

const char kCreate[] = R"sql(
CREATE TABLE clients(
  id INTEGER PRIMARY KEY,
  peer TEXT NOT NULL UNIQUE,
  first_seen_us INTEGER NOT NULL,
  last_seen_us INTEGER NOT NULL,
  last_heartbeat_us INTEGER,
  events_dropped INTEGER NOT NULL DEFAULT 0,
  connections_made INTEGER NOT NULL DEFAULT 0,
  events INTEGER NOT NULL DEFAULT 0);
CREATE TABLE client_statistics(
  client INTEGER NOT NULL,
  received_us INTEGER NOT NULL,
  events_dropped INTEGER NOT NULL,
  PRIMARY KEY(client, received_us)) WITHOUT ROWID;
CREATE TABLE transactions(
  id INTEGER PRIMARY KEY,
  transaction_id BLOB NOT NULL UNIQUE,
  start_us INTEGER NOT NULL,
  end_us INTEGER NOT NULL,
  events INTEGER NOT NULL,
  blocked INTEGER NOT NULL,
  calls INTEGER NOT NULL,
  finished INTEGER NOT NULL,
  decided INTEGER NOT NULL,
  decided_us INTEGER NOT NULL);
CREATE INDEX transactions_start ON transactions(start_us);
CREATE INDEX transactions_duration ON transactions(end_us - start_us);
-- Committed transactions, nearly all of them, are found by walking the start order; only the
-- rare outcomes have index rows.
CREATE INDEX transactions_outcome ON transactions(decided, finished, start_us) WHERE decided != 2;
CREATE TABLE transaction_clients(
  client INTEGER NOT NULL,
  txn INTEGER NOT NULL,
  PRIMARY KEY(client, txn)) WITHOUT ROWID;
CREATE INDEX transaction_clients_txn ON transaction_clients(txn);
CREATE TABLE pairs(
  kind INTEGER NOT NULL,
  name BLOB NOT NULL,
  value BLOB NOT NULL,
  txn INTEGER NOT NULL,
  PRIMARY KEY(kind, name, value, txn)) WITHOUT ROWID;
CREATE INDEX pairs_txn ON pairs(txn);
-- Keyed by transaction, so that a transaction's events lie together and need no index of their
-- own; id (from counters) orders events of the same microsecond.
CREATE TABLE events(
  txn INTEGER NOT NULL,
  time_us INTEGER NOT NULL,
  id INTEGER NOT NULL,
  client INTEGER NOT NULL,
  connection INTEGER NOT NULL,
  stream_offset INTEGER NOT NULL,
  type INTEGER NOT NULL,
  hlink BLOB,
  vlink BLOB,
  message BLOB NOT NULL,
  PRIMARY KEY(txn, time_us, id)) WITHOUT ROWID;
CREATE INDEX events_hlink ON events(hlink) WHERE hlink IS NOT NULL;
CREATE INDEX events_vlink ON events(vlink) WHERE vlink IS NOT NULL;
CREATE TABLE consumer_offsets(
  topic TEXT NOT NULL,
  partition INTEGER NOT NULL,
  next_offset INTEGER NOT NULL,
  PRIMARY KEY(topic, partition)) WITHOUT ROWID;
CREATE TABLE counters(
  name TEXT PRIMARY KEY,
  value INTEGER NOT NULL) WITHOUT ROWID;
INSERT INTO counters VALUES('next_event_id', 1);
)sql";

bool _pragma_int(Database *db, const char *sql, int *value, std::string *error) {
  Statement statement;
  if (!statement.prepare(*db, sql, error)) return false;
  if (statement.step() != SQLITE_ROW) {
    *error = db->last_error();
    return false;
  }
  *value = static_cast<int>(statement.column_int(0));
  return true;
}

// Reads the file's marks: *fresh when it holds no tables at all.
SchemaStatus _check(const std::string &path, Database *db, bool *fresh, std::string *error) {
  int application = 0, version = 0, tables = 0;
  if (!_pragma_int(db, "PRAGMA application_id", &application, error) ||
      !_pragma_int(db, "PRAGMA user_version", &version, error) ||
      !_pragma_int(db, "SELECT count(*) FROM sqlite_master", &tables, error)) {
    *error = "cannot read store '" + path + "': " + *error;
    return SchemaStatus::kRefused;
  }
  *fresh = tables == 0 && application == 0 && version == 0;
  if (*fresh) return SchemaStatus::kOk;
  if (application != kApplicationId) {
    *error = "'" + path + "' is not a veska store; refusing to use it";
    return SchemaStatus::kRefused;
  }
  if (version != kSchemaVersion) {
    *error = "store '" + path + "' has schema version " + std::to_string(version) +
             ", this collector knows only version " + std::to_string(kSchemaVersion) +
             "; refusing to use it";
    return SchemaStatus::kRefused;
  }
  return SchemaStatus::kOk;
}

}  // namespace

SchemaStatus open_for_writing(const std::string &path, Database *db, std::string *error) {
  if (!db->open(path, false, error)) return SchemaStatus::kFailed;
  bool fresh = false;
  const SchemaStatus status = _check(path, db, &fresh, error);
  if (status != SchemaStatus::kOk) return status;
  // NORMAL keeps a committed batch through a process crash; only a power loss may take the
  // last few batches back.
  // A page cache of 64 MiB keeps the indexes' hot pages in memory, instead of reading them
  // back through the kernel for every batch.
  if (!db->exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-65536;",
                error)) {
    return SchemaStatus::kFailed;
  }
  if (!fresh) return SchemaStatus::kOk;
  std::string create = std::string("BEGIN IMMEDIATE;") + kCreate +
                       "PRAGMA application_id=" + std::to_string(kApplicationId) +
                       ";PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";COMMIT;";
  if (!db->exec(create.c_str(), error)) {
    std::string ignored;
    db->exec("ROLLBACK", &ignored);
    // Another process may have created it between our check and our lock.
    if (_check(path, db, &fresh, &ignored) == SchemaStatus::kOk && !fresh) {
      return SchemaStatus::kOk;
    }
    *error = "cannot create store '" + path + "': " + *error;
    return SchemaStatus::kFailed;
  }
  return SchemaStatus::kOk;
}

SchemaStatus open_for_reading(const std::string &path, Database *db, std::string *error) {
  if (!db->open(path, true, error)) return SchemaStatus::kFailed;
  bool fresh = false;
  const SchemaStatus status = _check(path, db, &fresh, error);
  if (status != SchemaStatus::kOk) return status;
  if (fresh) {
    *error = "store '" + path + "' has no tables yet";
    return SchemaStatus::kFailed;
  }
  if (!db->exec("PRAGMA cache_size=-32768;", error)) return SchemaStatus::kFailed;
  return SchemaStatus::kOk;
}

}  // namespace store
}  // namespace veska
