// The collector's output into the transaction store. deliver() copies each message into a
// batch; batches wait in a bounded queue for one writer thread, which writes each in one SQLite
// transaction. While the queue is full the output stops accepting, and the intake stops reading
// sockets. A batch that cannot be written (disk full, I/O error) is counted failed and its cause
// logged once; the next batches are tried again, so writing resumes when space returns.
#ifndef VESKA_TOOLS_COLLECTOR_STORE_STORE_OUTPUT_H
#define VESKA_TOOLS_COLLECTOR_STORE_STORE_OUTPUT_H

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "tools/collector/outputs/output.h"
#include "tools/collector/store/message_batch.h"
#include "tools/collector/store/store_settings.h"
#include "tools/collector/store/transaction_writer.h"

namespace veska {
namespace store {

class StoreOutput : public collector::Output {
 public:
  // Opens the store and starts the writer. Null with the reason in *error; *refused when the
  // file is not a store this collector may write (exit status 2).
  static std::unique_ptr<StoreOutput> create(const std::string &path, const StoreSettings &settings,
                                             std::string *error, bool *refused, FILE *log = stderr);
  ~StoreOutput() override;

  void deliver(const collector::Delivery &message) override;
  void poll() override { hand_over(); }
  bool accepting() const override;
  void flush() override { hand_over(); }
  void finish(double seconds) override;
  void summarise(nlohmann::ordered_json *summary) override;

  // Messages stored, and messages counted failed, so far.
  uint64_t written() const { return written_.load(std::memory_order_relaxed); }
  uint64_t failed() const { return failed_.load(std::memory_order_relaxed); }
  // Waits until everything handed over so far has been written or failed; false after seconds.
  bool wait_idle(double seconds);

 private:
  StoreOutput(std::unique_ptr<TransactionWriter> writer, const StoreSettings &settings, FILE *log);
  void hand_over();
  void run();
  void report_failure(size_t messages, const std::string &cause);

  std::unique_ptr<TransactionWriter> writer_;
  StoreSettings settings_;
  FILE *log_;
  MessageBatch filling_;  // the intake thread's

  mutable std::mutex mutex_;
  std::condition_variable work_, idle_;
  std::deque<MessageBatch> queue_;      // guarded by mutex_
  size_t queued_messages_ = 0;          // guarded by mutex_
  bool writing_ = false;                // guarded by mutex_
  bool stopping_ = false;               // guarded by mutex_
  std::atomic<size_t> queued_hint_{0};  // queued_messages_ for accepting(), without the lock

  std::atomic<uint64_t> written_{0}, failed_{0}, batches_{0}, retention_deleted_{0};
  std::set<std::string> causes_logged_;  // the writer thread's
  bool failing_ = false;                 // the writer thread's
  std::thread thread_;
};

}  // namespace store
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_STORE_STORE_OUTPUT_H
