// The store's batch writer. Counts and times of a transaction are gathered over the batch and
// written once: a new transaction's row is inserted whole, an existing one is updated with
// deltas (minimum start, maximum end, events added), so that two processes sharing one store
// file during a consumer rebalance never overwrite each other's counts. Messages are read in
// place (they were checked by the intake), never decoded into copies.
#include "tools/collector/store/transaction_writer.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <utility>
#include <vector>

#include "tools/collector/decoding/decoder.h"
#include "tools/collector/store/event_fields.h"
#include "types.h"

namespace veska {
namespace store {

namespace {

// Caches are dropped whole beyond this, which bounds their memory against hostile ids.
constexpr size_t kCacheLimit = 200000;

int64_t _time_us(const wire::MessageView &event) {
  return int64_t(event.seconds) * 1000000 + event.microseconds;
}

}  // namespace

struct TransactionWriter::TransactionDelta {
  int64_t id = 0;
  bool fresh = false;  // no row yet: inserted whole at the end of the batch
  int64_t start_us = INT64_MAX;
  int64_t end_us = INT64_MIN;
  int64_t events = 0, blocked = 0, calls = 0, finished = 0;
  int64_t decided = kUndecided, decided_us = -1;
};

struct TransactionWriter::ClientDelta {
  int64_t last_seen_us = 0;
  int64_t events = 0;
  int64_t heartbeat_us = -1;
  int64_t events_dropped = -1, connections_made = -1;
};

std::unique_ptr<TransactionWriter> TransactionWriter::open(const std::string &path,
                                                           const StoreSettings &settings,
                                                           std::string *error, bool *refused) {
  std::unique_ptr<TransactionWriter> writer(new TransactionWriter(settings));
  const SchemaStatus status = open_for_writing(path, &writer->db_, error);
  *refused = status == SchemaStatus::kRefused;
  if (status != SchemaStatus::kOk) return nullptr;
  if (!writer->prepare(error)) {
    *error = "cannot prepare store '" + path + "': " + *error;
    return nullptr;
  }
  return writer;
}

bool TransactionWriter::prepare(std::string *error) {
  return begin_.prepare(db_, "BEGIN IMMEDIATE", error) && commit_.prepare(db_, "COMMIT", error) &&
         rollback_.prepare(db_, "ROLLBACK", error) &&
         insert_event_.prepare(db_,
                               "INSERT INTO events(txn, time_us, id, client, connection, "
                               "stream_offset, type, hlink, vlink, message) "
                               "VALUES(?,?,?,?,?,?,?,?,?,?)",
                               error) &&
         insert_pair_.prepare(
             db_, "INSERT OR IGNORE INTO pairs(kind, name, value, txn) VALUES(?,?,?,?)", error) &&
         insert_transaction_client_.prepare(
             db_, "INSERT OR IGNORE INTO transaction_clients(client, txn) VALUES(?,?)", error) &&
         find_transaction_.prepare(db_, "SELECT id FROM transactions WHERE transaction_id = ?",
                                   error) &&
         next_transaction_.prepare(db_, "SELECT coalesce(max(id), 0) + 1 FROM transactions",
                                   error) &&
         next_event_.prepare(db_, "SELECT value FROM counters WHERE name = 'next_event_id'",
                             error) &&
         save_next_event_.prepare(db_, "UPDATE counters SET value = ? WHERE name = 'next_event_id'",
                                  error) &&
         insert_transaction_.prepare(
             db_,
             "INSERT INTO transactions(id, transaction_id, start_us, end_us, events, blocked, "
             "calls, finished, decided, decided_us) VALUES(?,?,?,?,?,?,?,?,?,?)",
             error) &&
         // SET expressions all see the row as it was: decided follows the latest decision,
         // a rollback winning a tie.
         update_transaction_.prepare(
             db_,
             "UPDATE transactions SET start_us = min(start_us, ?2), end_us = max(end_us, ?3), "
             "events = events + ?4, blocked = blocked + ?5, calls = calls + ?6, "
             "finished = max(finished, ?7), "
             "decided = CASE WHEN ?9 > decided_us OR (?9 = decided_us AND ?8 > decided) "
             "THEN ?8 ELSE decided END, decided_us = max(decided_us, ?9) WHERE id = ?1",
             error) &&
         find_client_.prepare(db_, "SELECT id FROM clients WHERE peer = ?", error) &&
         insert_client_.prepare(
             db_, "INSERT INTO clients(peer, first_seen_us, last_seen_us) VALUES(?1, ?2, ?2)",
             error) &&
         update_client_.prepare(
             db_,
             "UPDATE clients SET last_seen_us = max(last_seen_us, ?2), events = events + ?3, "
             "last_heartbeat_us = CASE WHEN ?4 < 0 THEN last_heartbeat_us ELSE ?4 END, "
             "events_dropped = CASE WHEN ?5 < 0 THEN events_dropped ELSE ?5 END, "
             "connections_made = CASE WHEN ?6 < 0 THEN connections_made ELSE ?6 END "
             "WHERE id = ?1",
             error) &&
         insert_statistics_.prepare(db_,
                                    "INSERT OR REPLACE INTO client_statistics(client, "
                                    "received_us, events_dropped) VALUES(?,?,?)",
                                    error) &&
         save_offset_.prepare(
             db_,
             "INSERT INTO consumer_offsets(topic, partition, next_offset) VALUES(?,?,?) "
             "ON CONFLICT(topic, partition) DO UPDATE SET "
             "next_offset = max(next_offset, excluded.next_offset)",
             error);
}

bool TransactionWriter::read_int(Statement *statement, int64_t *value) {
  statement->reset();
  const bool ok = statement->step() == SQLITE_ROW;
  if (ok) *value = statement->column_int(0);
  statement->reset();
  return ok;
}

bool TransactionWriter::client_id(const std::string &peer, int64_t seen_us, int64_t *id) {
  auto found = client_ids_.find(peer);
  if (found != client_ids_.end()) {
    *id = found->second;
    return true;
  }
  find_client_.reset();
  find_client_.bind_text(1, peer);
  int status = find_client_.step();
  if (status == SQLITE_ROW) {
    *id = find_client_.column_int(0);
  } else if (status == SQLITE_DONE) {
    insert_client_.reset();
    insert_client_.bind_text(1, peer);
    insert_client_.bind_int(2, seen_us);
    if (insert_client_.step() != SQLITE_DONE) return false;
    *id = sqlite3_last_insert_rowid(db_.handle());
  } else {
    return false;
  }
  if (client_ids_.size() >= kCacheLimit) client_ids_.clear();
  client_ids_.emplace(peer, *id);
  return true;
}

bool TransactionWriter::transaction_row(std::string_view transaction_id, int64_t *id, bool *fresh) {
  std::string key(transaction_id);
  auto found = transaction_ids_.find(key);
  *fresh = false;
  if (found != transaction_ids_.end()) {
    *id = found->second;
    return true;
  }
  find_transaction_.reset();
  find_transaction_.bind_blob(1, transaction_id.data(), transaction_id.size());
  const int status = find_transaction_.step();
  if (status == SQLITE_ROW) {
    *id = find_transaction_.column_int(0);
  } else if (status == SQLITE_DONE) {
    *id = next_transaction_id_++;
    *fresh = true;
  } else {
    return false;
  }
  find_transaction_.reset();
  if (transaction_ids_.size() >= kCacheLimit) transaction_ids_.clear();
  transaction_ids_.emplace(std::move(key), *id);
  return true;
}

bool TransactionWriter::write(const MessageBatch &batch, int64_t now_us, std::string *error) {
  begin_.reset();
  if (begin_.step() != SQLITE_DONE) {
    *error = db_.last_error();
    return false;
  }
  bool ok = write_messages(batch, error);
  if (ok) {
    uint64_t removed = 0;
    ok = retention_.apply(&db_, now_us, &removed, error);
    if (removed != 0) transaction_ids_.clear();
  }
  if (ok) {
    commit_.reset();
    ok = commit_.step() == SQLITE_DONE;
    if (!ok) *error = db_.last_error();
  }
  if (!ok) {
    // The batch's new rows are gone with the rollback, so are the ids cached for them.
    rollback_.reset();
    rollback_.step();
    transaction_ids_.clear();
    client_ids_.clear();
  }
  return ok;
}

bool TransactionWriter::write_messages(const MessageBatch &batch, std::string *error) {
  auto failed = [&]() {
    *error = db_.last_error();
    return false;
  };
  // Both read inside this SQLite transaction, so another writer of the same file (holding the
  // lock before or after us) never hands out the same ids.
  int64_t next_event_id = 0;
  if (!read_int(&next_transaction_, &next_transaction_id_) ||
      !read_int(&next_event_, &next_event_id)) {
    return failed();
  }
  // Transactions of this batch, by id bytes viewed in the batch: one cache look-up each.
  std::unordered_map<std::string_view, size_t> batch_transactions;
  std::vector<TransactionDelta> transactions;
  std::map<int64_t, ClientDelta> clients;
  std::vector<std::pair<int64_t, int64_t>> transaction_clients;
  std::vector<std::pair<int64_t, PairView>> pairs;
  std::vector<PairView> event_pairs;
  std::map<std::pair<int32_t, int32_t>, int64_t> offsets;
  std::vector<int64_t> peer_ids(batch.peers.size(), -1);

  for (const BatchedMessage &item : batch.messages) {
    int64_t &client = peer_ids[item.peer];
    if (client < 0 && !client_id(batch.peers[item.peer], item.received_us, &client)) {
      return failed();
    }
    ClientDelta &seen = clients[client];
    seen.last_seen_us = std::max(seen.last_seen_us, item.received_us);
    if (item.topic >= 0) {
      int64_t &next = offsets[{item.topic, item.partition}];
      next = std::max(next, item.kafka_offset + 1);
    }
    wire::MessageView message;
    EventFields fields;
    event_pairs.clear();
    if (!wire::check_message(batch.data(item), item.size, item.stream_offset, &message) ||
        (message.kind == wire::MessageKind::kEvent &&
         !read_event_fields(message, &fields, &event_pairs))) {
      wire::DecodeError decode_error;
      wire::Message ignored;
      wire::decode_message(batch.data(item), item.size, item.stream_offset, &ignored,
                           &decode_error);
      *error = "a message the intake accepted does not decode: " + decode_error.reason;
      return false;
    }
    switch (message.kind) {
      case wire::MessageKind::kRegister:
        continue;
      case wire::MessageKind::kHeartbeat:
        seen.heartbeat_us = item.received_us;
        continue;
      case wire::MessageKind::kStatistics:
        seen.events_dropped = message.events_dropped;
        seen.connections_made = message.connections_made;
        insert_statistics_.reset();
        insert_statistics_.bind_int(1, client);
        insert_statistics_.bind_int(2, item.received_us);
        insert_statistics_.bind_int(3, message.events_dropped);
        if (insert_statistics_.step() != SQLITE_DONE) return failed();
        continue;
      case wire::MessageKind::kEvent:
        break;
    }
    const int64_t time_us = _time_us(message);
    // An event without an instance section belongs to the transaction of the empty id.
    const std::string_view transaction_id(
        reinterpret_cast<const char *>(message.transaction_id),
        message.transaction_id != nullptr ? message.transaction_id_length : 0);
    auto slot = batch_transactions.find(transaction_id);
    if (slot == batch_transactions.end()) {
      TransactionDelta delta;
      if (!transaction_row(transaction_id, &delta.id, &delta.fresh)) return failed();
      slot = batch_transactions.emplace(transaction_id, transactions.size()).first;
      transactions.push_back(delta);
    }
    TransactionDelta &delta = transactions[slot->second];
    const int64_t txn = delta.id;
    ++seen.events;
    delta.start_us = std::min(delta.start_us, time_us);
    delta.end_us = std::max(delta.end_us, time_us);
    ++delta.events;
    delta.blocked += message.blocked ? 1 : 0;
    delta.calls += message.type == QIVA_OUTBOUND_EVENT ? 1 : 0;
    if (message.type == QIVA_FINISHED_EVENT) delta.finished = 1;
    if (message.type == QIVA_COMMIT_EVENT || message.type == QIVA_ROLLBACK_EVENT) {
      const int64_t decided = message.type == QIVA_COMMIT_EVENT ? kCommitted : kRolledBack;
      if (time_us > delta.decided_us || (time_us == delta.decided_us && decided > delta.decided)) {
        delta.decided = decided;
        delta.decided_us = time_us;
      }
    }
    transaction_clients.emplace_back(client, txn);

    insert_event_.reset();
    insert_event_.bind_int(1, txn);
    insert_event_.bind_int(2, time_us);
    insert_event_.bind_int(3, next_event_id++);
    insert_event_.bind_int(4, client);
    insert_event_.bind_int(5, static_cast<int64_t>(item.connection));
    insert_event_.bind_int(6, static_cast<int64_t>(item.stream_offset));
    insert_event_.bind_int(7, message.type);
    if (!fields.hlink.empty()) {
      insert_event_.bind_blob_in_place(8, fields.hlink.data(), fields.hlink.size());
    }
    if (!fields.vlink.empty()) {
      insert_event_.bind_blob_in_place(9, fields.vlink.data(), fields.vlink.size());
    }
    insert_event_.bind_blob_in_place(10, batch.data(item), item.size);
    if (insert_event_.step() != SQLITE_DONE) return failed();
    for (const PairView &pair : event_pairs) pairs.emplace_back(txn, pair);
  }

  // Each distinct pair once, in the index's order, which keeps the B-tree inserts local.
  auto pair_key = [](const std::pair<int64_t, PairView> &p) {
    return std::make_tuple(static_cast<int>(p.second.kind), p.second.name, p.second.value, p.first);
  };
  std::sort(pairs.begin(), pairs.end(),
            [&](const auto &a, const auto &b) { return pair_key(a) < pair_key(b); });
  pairs.erase(std::unique(pairs.begin(), pairs.end(),
                          [&](const auto &a, const auto &b) { return pair_key(a) == pair_key(b); }),
              pairs.end());
  for (const auto &pair : pairs) {
    insert_pair_.reset();
    insert_pair_.bind_int(1, pair.second.kind);
    insert_pair_.bind_blob_in_place(2, pair.second.name.data(), pair.second.name.size());
    insert_pair_.bind_blob_in_place(3, pair.second.value.data(), pair.second.value.size());
    insert_pair_.bind_int(4, pair.first);
    if (insert_pair_.step() != SQLITE_DONE) return failed();
  }
  std::sort(transaction_clients.begin(), transaction_clients.end());
  transaction_clients.erase(std::unique(transaction_clients.begin(), transaction_clients.end()),
                            transaction_clients.end());
  for (const auto &link : transaction_clients) {
    insert_transaction_client_.reset();
    insert_transaction_client_.bind_int(1, link.first);
    insert_transaction_client_.bind_int(2, link.second);
    if (insert_transaction_client_.step() != SQLITE_DONE) return failed();
  }
  for (const auto &entry : batch_transactions) {
    const TransactionDelta &delta = transactions[entry.second];
    Statement &statement = delta.fresh ? insert_transaction_ : update_transaction_;
    statement.reset();
    int column = 1;
    statement.bind_int(column++, delta.id);
    if (delta.fresh) {
      statement.bind_blob_in_place(column++, entry.first.data(), entry.first.size());
    }
    for (int64_t value : {delta.start_us, delta.end_us, delta.events, delta.blocked, delta.calls,
                          delta.finished, delta.decided, delta.decided_us}) {
      statement.bind_int(column++, value);
    }
    if (statement.step() != SQLITE_DONE) return failed();
  }
  for (const auto &entry : clients) {
    const ClientDelta &delta = entry.second;
    update_client_.reset();
    update_client_.bind_int(1, entry.first);
    update_client_.bind_int(2, delta.last_seen_us);
    update_client_.bind_int(3, delta.events);
    update_client_.bind_int(4, delta.heartbeat_us);
    update_client_.bind_int(5, delta.events_dropped);
    update_client_.bind_int(6, delta.connections_made);
    if (update_client_.step() != SQLITE_DONE) return failed();
  }
  for (const auto &entry : offsets) {
    save_offset_.reset();
    save_offset_.bind_text(1, batch.topics[entry.first.first]);
    save_offset_.bind_int(2, entry.first.second);
    save_offset_.bind_int(3, entry.second);
    if (save_offset_.step() != SQLITE_DONE) return failed();
  }
  save_next_event_.reset();
  save_next_event_.bind_int(1, next_event_id);
  if (save_next_event_.step() != SQLITE_DONE) return failed();
  return true;
}

}  // namespace store
}  // namespace veska
