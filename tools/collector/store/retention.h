// Keeps the store within --retain-bytes and --retain-age: after each batch, inside the batch's
// SQLite transaction, the oldest transactions go first, a bounded number per batch so that a
// large backlog never stalls the writer. Freed pages are reused by later batches, which is
// what holds the file's size.
#ifndef VESKA_TOOLS_COLLECTOR_STORE_RETENTION_H
#define VESKA_TOOLS_COLLECTOR_STORE_RETENTION_H

#include <cstdint>
#include <string>

#include "tools/collector/store/sqlite.h"
#include "tools/collector/store/store_settings.h"

namespace veska {
namespace store {

class Retention {
 public:
  explicit Retention(const StoreSettings &settings) : settings_(settings) {}
  // Deletes what is due; *removed counts the transactions deleted. False with SQLite's reason.
  bool apply(Database *db, int64_t now_us, uint64_t *removed, std::string *error);
  uint64_t deleted() const { return deleted_; }

 private:
  bool prepare(Database *db, std::string *error);
  bool remove_oldest(Database *db, int64_t limit, int64_t before_us, uint64_t *removed,
                     std::string *error);
  bool pages_in_use(Database *db, int64_t *bytes, std::string *error);

  StoreSettings settings_;
  bool prepared_ = false;
  Statement page_count_, freelist_count_, page_size_;
  Statement oldest_, delete_events_, delete_pairs_, delete_clients_, delete_transaction_;
  Statement delete_statistics_;
  uint64_t deleted_ = 0;
  uint64_t batches_ = 0;
};

}  // namespace store
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_STORE_RETENTION_H
