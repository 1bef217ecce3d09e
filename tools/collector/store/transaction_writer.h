// Writes batches of messages into the store, one SQLite transaction per batch: events under
// their transaction, the transaction's times, counts and outcome, the pairs searches match on,
// the clients' latest statistics and heartbeats, and the Kafka positions the batch covers.
// One thread uses a writer at a time; the store output runs it on its own thread.
#ifndef VESKA_TOOLS_COLLECTOR_STORE_TRANSACTION_WRITER_H
#define VESKA_TOOLS_COLLECTOR_STORE_TRANSACTION_WRITER_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "tools/collector/store/message_batch.h"
#include "tools/collector/store/retention.h"
#include "tools/collector/store/schema.h"
#include "tools/collector/store/sqlite.h"
#include "tools/collector/store/store_settings.h"

namespace veska {
namespace store {

class TransactionWriter {
 public:
  // Opens or creates the store at path. Null with the reason in *error; *refused is set when
  // the file is not a store of this version (the caller exits with status 2).
  static std::unique_ptr<TransactionWriter> open(const std::string &path,
                                                 const StoreSettings &settings, std::string *error,
                                                 bool *refused);

  // Writes every message of batch, all or nothing. False with SQLite's reason in *error; the
  // store is then as it was before the batch. now_us drives retention by age.
  bool write(const MessageBatch &batch, int64_t now_us, std::string *error);
  // Transactions removed by retention so far.
  uint64_t retention_deleted() const { return retention_.deleted(); }

 private:
  struct TransactionDelta;
  struct ClientDelta;
  TransactionWriter(const StoreSettings &settings) : retention_(settings) {}
  bool prepare(std::string *error);
  bool write_messages(const MessageBatch &batch, std::string *error);
  bool client_id(const std::string &peer, int64_t seen_us, int64_t *id);
  // The row id of a transaction: cached, found, or the next free one (*fresh: no row yet).
  bool transaction_row(std::string_view transaction_id, int64_t *id, bool *fresh);
  bool read_int(Statement *statement, int64_t *value);

  Database db_;
  Retention retention_;
  Statement begin_, commit_, rollback_;
  Statement insert_event_, insert_pair_, insert_transaction_client_;
  Statement find_transaction_, insert_transaction_, update_transaction_;
  Statement next_transaction_, next_event_, save_next_event_;
  Statement find_client_, insert_client_, update_client_, insert_statistics_;
  Statement save_offset_;
  // Row ids of recent transactions and clients, so that most events need no look-up. Cleared
  // when a batch fails (its new rows are gone) and when retention deletes.
  std::unordered_map<std::string, int64_t> transaction_ids_;
  // Row ids handed out to transactions new in the batch being written, from next_transaction_.
  int64_t next_transaction_id_ = 0;
  std::unordered_map<std::string, int64_t> client_ids_;
};

}  // namespace store
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_STORE_TRANSACTION_WRITER_H
