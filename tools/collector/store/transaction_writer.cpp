// The store's batch writer. Counts and times of a transaction are applied as deltas (minimum
// start, maximum end, events added), so that two processes sharing one store file during a
// consumer rebalance never overwrite each other's counts.
#include "tools/collector/store/transaction_writer.h"

#include <map>
#include <set>
#include <utility>
#include <vector>

#include "tools/collector/decoding/decoder.h"
#include "types.h"

namespace veska {
namespace store {

namespace {

// Caches are dropped whole beyond this, which bounds their memory against hostile ids.
constexpr size_t kCacheLimit = 200000;

std::string _bytes(const wire::Bytes &bytes) { return std::string(bytes.begin(), bytes.end()); }

int64_t _time_us(const wire::EventMessage &event) {
  return int64_t(event.seconds) * 1000000 + event.microseconds;
}

}  // namespace

struct TransactionWriter::TransactionDelta {
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
                               "INSERT INTO events(txn, client, connection, stream_offset, "
                               "time_us, type, hlink, vlink, message) VALUES(?,?,?,?,?,?,?,?,?)",
                               error) &&
         insert_pair_.prepare(
             db_, "INSERT OR IGNORE INTO pairs(kind, name, value, txn) VALUES(?,?,?,?)", error) &&
         insert_transaction_client_.prepare(
             db_, "INSERT OR IGNORE INTO transaction_clients(client, txn) VALUES(?,?)", error) &&
         find_transaction_.prepare(db_, "SELECT id FROM transactions WHERE transaction_id = ?",
                                   error) &&
         insert_transaction_.prepare(
             db_,
             "INSERT INTO transactions(transaction_id, start_us, end_us, events, blocked, calls, "
             "finished, decided, decided_us) VALUES(?1, ?2, ?2, 0, 0, 0, 0, 0, -1)",
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

bool TransactionWriter::transaction_row(const std::string &transaction_id, int64_t time_us,
                                        int64_t *id) {
  auto found = transaction_ids_.find(transaction_id);
  if (found != transaction_ids_.end()) {
    *id = found->second;
    return true;
  }
  find_transaction_.reset();
  find_transaction_.bind_blob(1, transaction_id);
  int status = find_transaction_.step();
  if (status == SQLITE_ROW) {
    *id = find_transaction_.column_int(0);
  } else if (status == SQLITE_DONE) {
    insert_transaction_.reset();
    insert_transaction_.bind_blob(1, transaction_id);
    insert_transaction_.bind_int(2, time_us);
    if (insert_transaction_.step() != SQLITE_DONE) return false;
    *id = sqlite3_last_insert_rowid(db_.handle());
  } else {
    return false;
  }
  if (transaction_ids_.size() >= kCacheLimit) transaction_ids_.clear();
  transaction_ids_.emplace(transaction_id, *id);
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
  std::map<int64_t, TransactionDelta> transactions;
  std::map<int64_t, ClientDelta> clients;
  std::set<std::pair<int64_t, int64_t>> transaction_clients;
  std::set<std::tuple<int64_t, int, std::string, std::string>> pairs;
  std::map<std::pair<int32_t, int32_t>, int64_t> offsets;
  std::vector<int64_t> peer_ids(batch.peers.size(), -1);
  wire::Message message;
  wire::DecodeError decode_error;
  auto failed = [&]() {
    *error = db_.last_error();
    return false;
  };

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
    if (!wire::decode_message(batch.data(item), item.size, item.stream_offset, &message,
                              &decode_error)) {
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
        seen.events_dropped = message.statistics.events_dropped;
        seen.connections_made = message.statistics.connections_made;
        insert_statistics_.reset();
        insert_statistics_.bind_int(1, client);
        insert_statistics_.bind_int(2, item.received_us);
        insert_statistics_.bind_int(3, message.statistics.events_dropped);
        if (insert_statistics_.step() != SQLITE_DONE) return failed();
        continue;
      case wire::MessageKind::kEvent:
        break;
    }
    const wire::EventMessage &event = message.event;
    const int64_t time_us = _time_us(event);
    // An event without an instance section belongs to the transaction of the empty id.
    const std::string transaction_id =
        event.instance ? _bytes(event.instance->transaction_id) : std::string();
    int64_t txn = 0;
    if (!transaction_row(transaction_id, time_us, &txn)) return failed();
    ++seen.events;

    TransactionDelta &delta = transactions[txn];
    delta.start_us = std::min(delta.start_us, time_us);
    delta.end_us = std::max(delta.end_us, time_us);
    ++delta.events;
    delta.blocked += event.blocked ? 1 : 0;
    delta.calls += event.type == QIVA_OUTBOUND_EVENT ? 1 : 0;
    if (event.type == QIVA_FINISHED_EVENT) delta.finished = 1;
    if (event.type == QIVA_COMMIT_EVENT || event.type == QIVA_ROLLBACK_EVENT) {
      const int64_t decided = event.type == QIVA_COMMIT_EVENT ? kCommitted : kRolledBack;
      if (time_us > delta.decided_us || (time_us == delta.decided_us && decided > delta.decided)) {
        delta.decided = decided;
        delta.decided_us = time_us;
      }
    }
    transaction_clients.emplace(client, txn);

    insert_event_.reset();
    insert_event_.bind_int(1, txn);
    insert_event_.bind_int(2, client);
    insert_event_.bind_int(3, static_cast<int64_t>(item.connection));
    insert_event_.bind_int(4, static_cast<int64_t>(item.stream_offset));
    insert_event_.bind_int(5, time_us);
    insert_event_.bind_int(6, event.type);
    if (event.horizontal && !event.horizontal->link_id.empty()) {
      insert_event_.bind_blob(7, event.horizontal->link_id.data(),
                              event.horizontal->link_id.size());
    }
    if (event.vertical && !event.vertical->link_id.empty()) {
      insert_event_.bind_blob(8, event.vertical->link_id.data(), event.vertical->link_id.size());
    }
    insert_event_.bind_blob(9, batch.data(item), item.size);
    if (insert_event_.step() != SQLITE_DONE) return failed();

    auto add_pairs = [&](int kind, const wire::ValuesList &list) {
      for (const wire::ValueItem &pair : list)
        pairs.emplace(txn, kind, pair.name, _bytes(pair.value));
    };
    if (event.instance) add_pairs(kTransactionData, event.instance->transaction_data);
    if (event.horizontal) add_pairs(kStitch, event.horizontal->stitch_ids);
    if (event.vertical) add_pairs(kStitch, event.vertical->stitch_ids);
    if (event.horizontal_context) add_pairs(kContext, *event.horizontal_context);
    if (event.vertical_context) add_pairs(kContext, *event.vertical_context);
  }

  for (const auto &pair : pairs) {
    insert_pair_.reset();
    insert_pair_.bind_int(1, std::get<1>(pair));
    insert_pair_.bind_blob(2, std::get<2>(pair));
    insert_pair_.bind_blob(3, std::get<3>(pair));
    insert_pair_.bind_int(4, std::get<0>(pair));
    if (insert_pair_.step() != SQLITE_DONE) return failed();
  }
  for (const auto &link : transaction_clients) {
    insert_transaction_client_.reset();
    insert_transaction_client_.bind_int(1, link.first);
    insert_transaction_client_.bind_int(2, link.second);
    if (insert_transaction_client_.step() != SQLITE_DONE) return failed();
  }
  for (const auto &entry : transactions) {
    const TransactionDelta &delta = entry.second;
    Statement &update = update_transaction_;
    update.reset();
    update.bind_int(1, entry.first);
    update.bind_int(2, delta.start_us);
    update.bind_int(3, delta.end_us);
    update.bind_int(4, delta.events);
    update.bind_int(5, delta.blocked);
    update.bind_int(6, delta.calls);
    update.bind_int(7, delta.finished);
    update.bind_int(8, delta.decided);
    update.bind_int(9, delta.decided_us);
    if (update.step() != SQLITE_DONE) return failed();
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
  return true;
}

}  // namespace store
}  // namespace veska
