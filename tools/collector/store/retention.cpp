// Retention by size and by age, oldest transactions first.
#include "tools/collector/store/retention.h"

#include <vector>

namespace veska {
namespace store {

namespace {

// Transactions deleted at most per batch: enough to outpace a batch of new ones several times.
constexpr int64_t kDeletePerBatch = 4096;
// Deleting starts when the pages in use pass this share of --retain-bytes, leaving room for the
// write-ahead log's pages and the indexes' slack beneath the 10 % the file may grow beyond it.
constexpr double kHighWater = 0.85;

}  // namespace

bool Retention::prepare(Database *db, std::string *error) {
  prepared_ =
      page_count_.prepare(*db, "PRAGMA page_count", error) &&
      freelist_count_.prepare(*db, "PRAGMA freelist_count", error) &&
      page_size_.prepare(*db, "PRAGMA page_size", error) &&
      oldest_.prepare(*db,
                      "SELECT id FROM transactions WHERE start_us < ?2 ORDER BY start_us LIMIT ?1",
                      error) &&
      delete_events_.prepare(*db, "DELETE FROM events WHERE txn = ?", error) &&
      delete_pairs_.prepare(*db, "DELETE FROM pairs WHERE txn = ?", error) &&
      delete_clients_.prepare(*db, "DELETE FROM transaction_clients WHERE txn = ?", error) &&
      delete_transaction_.prepare(*db, "DELETE FROM transactions WHERE id = ?", error) &&
      delete_statistics_.prepare(*db, "DELETE FROM client_statistics WHERE received_us < ?", error);
  return prepared_;
}

bool Retention::pages_in_use(Database *db, int64_t *bytes, std::string *error) {
  int64_t values[3];
  Statement *statements[3] = {&page_count_, &freelist_count_, &page_size_};
  for (int i = 0; i < 3; ++i) {
    statements[i]->reset();
    if (statements[i]->step() != SQLITE_ROW) {
      *error = db->last_error();
      return false;
    }
    values[i] = statements[i]->column_int(0);
    statements[i]->reset();
  }
  *bytes = (values[0] - values[1]) * values[2];
  return true;
}

bool Retention::remove_oldest(Database *db, int64_t limit, int64_t before_us, uint64_t *removed,
                              std::string *error) {
  std::vector<int64_t> ids;
  oldest_.reset();
  oldest_.bind_int(1, limit);
  oldest_.bind_int(2, before_us);
  int status;
  while ((status = oldest_.step()) == SQLITE_ROW) ids.push_back(oldest_.column_int(0));
  oldest_.reset();
  if (status != SQLITE_DONE) {
    *error = db->last_error();
    return false;
  }
  for (int64_t id : ids) {
    for (Statement *statement :
         {&delete_events_, &delete_pairs_, &delete_clients_, &delete_transaction_}) {
      statement->reset();
      statement->bind_int(1, id);
      if (statement->step() != SQLITE_DONE) {
        *error = db->last_error();
        return false;
      }
    }
  }
  *removed += ids.size();
  deleted_ += ids.size();
  return true;
}

bool Retention::apply(Database *db, int64_t now_us, uint64_t *removed, std::string *error) {
  *removed = 0;
  if (!prepared_ && !prepare(db, error)) return false;
  const int64_t age_limit_us = now_us - static_cast<int64_t>(settings_.retain_age * 1e6);
  // Age is checked every 64th batch: a look at the oldest row is cheap but not free.
  if (++batches_ % 64 == 1) {
    if (!remove_oldest(db, kDeletePerBatch, age_limit_us, removed, error)) return false;
    delete_statistics_.reset();
    delete_statistics_.bind_int(1, age_limit_us);
    if (delete_statistics_.step() != SQLITE_DONE) {
      *error = db->last_error();
      return false;
    }
  }
  int64_t bytes = 0;
  if (!pages_in_use(db, &bytes, error)) return false;
  const double high_water = kHighWater * static_cast<double>(settings_.retain_bytes);
  if (static_cast<double>(bytes) <= high_water) return true;
  // Remove in proportion to the excess, at least a few, at most the per-batch bound.
  int64_t count = 0;
  if (!remove_oldest(db, 64, INT64_MAX, removed, error)) return false;
  count = static_cast<int64_t>(*removed);
  if (!pages_in_use(db, &bytes, error)) return false;
  while (static_cast<double>(bytes) > high_water && count < kDeletePerBatch) {
    const uint64_t before = *removed;
    if (!remove_oldest(db, 256, INT64_MAX, removed, error)) return false;
    if (*removed == before) break;  // nothing left to delete
    count = static_cast<int64_t>(*removed);
    if (!pages_in_use(db, &bytes, error)) return false;
  }
  return true;
}

}  // namespace store
}  // namespace veska
