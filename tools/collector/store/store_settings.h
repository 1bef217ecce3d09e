// What the store is told by the command line, shared by its writer and its readers.
#ifndef VESKA_TOOLS_COLLECTOR_STORE_STORE_SETTINGS_H
#define VESKA_TOOLS_COLLECTOR_STORE_STORE_SETTINGS_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace veska {
namespace store {

struct StoreSettings {
  uint64_t retain_bytes = uint64_t(1) << 30;
  double retain_age = 7 * 86400.0;  // seconds
  double stuck_after = 60;          // seconds an open transaction may last before it is stuck
  // Messages the intake hands the writer at once, and the most the writer's queue holds before
  // the intake stops reading sockets. The queue is what a kill -9 can lose.
  size_t batch_messages = 4096;
  size_t queue_messages = 32768;
  // The most one HTTP request may spend inside SQLite before it is answered 503: one slow
  // search must not hold the API (one thread) for everybody.
  double query_seconds = 5;
};

}  // namespace store
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_STORE_STORE_SETTINGS_H
