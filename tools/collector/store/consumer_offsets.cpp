// Reads the consumer positions the writer keeps beside the events.
#include "tools/collector/store/consumer_offsets.h"

#include <sys/stat.h>

#include "tools/collector/store/schema.h"
#include "tools/collector/store/sqlite.h"

namespace veska {
namespace store {

bool load_consumer_offsets(const std::string &store_path, const std::string &topic,
                           std::map<int32_t, int64_t> *next_offsets, std::string *error) {
  next_offsets->clear();
  struct stat info;
  if (stat(store_path.c_str(), &info) != 0) return true;  // nothing stored yet
  Database db;
  if (open_for_reading(store_path, &db, error) != SchemaStatus::kOk) {
    // A file the writer has created but not yet given tables holds no positions either.
    if (error->find("has no tables yet") != std::string::npos) return true;
    return false;
  }
  Statement select;
  if (!select.prepare(db, "SELECT partition, next_offset FROM consumer_offsets WHERE topic = ?",
                      error)) {
    return false;
  }
  select.bind_text(1, topic);
  int status;
  while ((status = select.step()) == SQLITE_ROW) {
    (*next_offsets)[static_cast<int32_t>(select.column_int(0))] = select.column_int(1);
  }
  if (status != SQLITE_DONE) {
    *error = db.last_error();
    return false;
  }
  return true;
}

}  // namespace store
}  // namespace veska
