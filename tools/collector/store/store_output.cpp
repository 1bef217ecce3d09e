// The store output's queue and writer thread.
#include "tools/collector/store/store_output.h"

#include <chrono>

#include "tools/collector/metrics/metrics.h"

namespace veska {
namespace store {

namespace {

int64_t _now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Messages the writer puts in one SQLite transaction at most, joining queued batches: larger
// transactions cost less per row, but a kill -9 loses the one in flight.
constexpr size_t kMessagesPerTransaction = 16384;

}  // namespace

std::unique_ptr<StoreOutput> StoreOutput::create(const std::string &path,
                                                 const StoreSettings &settings, std::string *error,
                                                 bool *refused, FILE *log) {
  std::unique_ptr<TransactionWriter> writer =
      TransactionWriter::open(path, settings, error, refused);
  if (!writer) return nullptr;
  return std::unique_ptr<StoreOutput>(new StoreOutput(std::move(writer), settings, log));
}

StoreOutput::StoreOutput(std::unique_ptr<TransactionWriter> writer, const StoreSettings &settings,
                         FILE *log)
    : writer_(std::move(writer)), settings_(settings), log_(log) {
  thread_ = std::thread(&StoreOutput::run, this);
}

StoreOutput::~StoreOutput() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void StoreOutput::deliver(const collector::Delivery &message) {
  const collector::SourcePosition *source = message.source();
  filling_.add(message.bytes(), message.size(), message.peer(), message.connection(),
               message.message().offset, _now_us(), source != nullptr ? source->topic : nullptr,
               source != nullptr ? source->partition : 0, source != nullptr ? source->offset : 0);
  if (filling_.messages.size() >= settings_.batch_messages) hand_over();
}

void StoreOutput::hand_over() {
  if (filling_.empty()) return;
  const size_t count = filling_.messages.size();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(filling_));
    queued_messages_ += count;
    queued_hint_.store(queued_messages_, std::memory_order_relaxed);
  }
  filling_ = MessageBatch();
  collector::metrics().store_queued.fetch_add(count, std::memory_order_relaxed);
  work_.notify_one();
}

bool StoreOutput::accepting() const {
  // The batch being filled counts too: it is what the next hand-over adds.
  return queued_hint_.load(std::memory_order_relaxed) + filling_.messages.size() <
         settings_.queue_messages;
}

void StoreOutput::run() {
  collector::Metrics &metrics = collector::metrics();
  MessageBatch batch;
  for (;;) {
    size_t taken = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, with nothing left
      batch = std::move(queue_.front());
      queue_.pop_front();
      // Joins further queued batches into the same SQLite transaction while they fit.
      while (!queue_.empty() &&
             batch.messages.size() + queue_.front().messages.size() <= kMessagesPerTransaction) {
        const MessageBatch &next = queue_.front();
        const size_t base = batch.bytes.size();
        for (BatchedMessage message : next.messages) {
          message.bytes_at += base;
          message.peer = static_cast<uint32_t>(batch.peers.size()) + message.peer;
          if (message.topic >= 0) {
            message.topic = static_cast<int32_t>(batch.topics.size()) + message.topic;
          }
          batch.messages.push_back(message);
        }
        batch.bytes += next.bytes;
        batch.peers.insert(batch.peers.end(), next.peers.begin(), next.peers.end());
        batch.topics.insert(batch.topics.end(), next.topics.begin(), next.topics.end());
        queue_.pop_front();
      }
      taken = batch.messages.size();
      writing_ = true;
    }
    std::string error;
    if (writer_->write(batch, _now_us(), &error)) {
      written_.fetch_add(taken, std::memory_order_relaxed);
      metrics.store_rows_written.fetch_add(taken, std::memory_order_relaxed);
      if (failing_) {
        fprintf(log_, "veska-collector: store: writing again\n");
        fflush(log_);
        failing_ = false;
      }
    } else {
      failed_.fetch_add(taken, std::memory_order_relaxed);
      metrics.store_write_failures.fetch_add(taken, std::memory_order_relaxed);
      report_failure(taken, error);
    }
    batches_.fetch_add(1, std::memory_order_relaxed);
    metrics.store_batches.fetch_add(1, std::memory_order_relaxed);
    retention_deleted_.store(writer_->retention_deleted(), std::memory_order_relaxed);
    metrics.store_retention_deleted.store(writer_->retention_deleted(), std::memory_order_relaxed);
    metrics.store_queued.fetch_sub(taken, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queued_messages_ -= taken;
      queued_hint_.store(queued_messages_, std::memory_order_relaxed);
      writing_ = false;
    }
    idle_.notify_all();
    batch.clear();
  }
}

void StoreOutput::report_failure(size_t messages, const std::string &cause) {
  failing_ = true;
  // Once per cause: a full disk would otherwise log a line per batch.
  if (!causes_logged_.insert(cause).second) return;
  if (causes_logged_.size() > 64) return;  // a bounded log, whatever the causes
  fprintf(log_,
          "veska-collector: store: cannot write %zu messages: %s (counted in store_failed; "
          "later failures of this cause are counted, not logged)\n",
          messages, cause.c_str());
  fflush(log_);
}

bool StoreOutput::wait_idle(double seconds) {
  hand_over();
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_for(lock, std::chrono::duration<double>(seconds),
                        [this] { return queue_.empty() && !writing_; });
}

void StoreOutput::finish(double seconds) {
  if (!wait_idle(seconds)) {
    // Whatever is still queued is counted, not lost silently.
    std::lock_guard<std::mutex> lock(mutex_);
    size_t left = 0;
    for (const MessageBatch &batch : queue_) left += batch.messages.size();
    queue_.clear();
    queued_messages_ -= left;
    failed_.fetch_add(left, std::memory_order_relaxed);
    collector::metrics().store_write_failures.fetch_add(left, std::memory_order_relaxed);
    collector::metrics().store_queued.fetch_sub(left, std::memory_order_relaxed);
  }
}

void StoreOutput::summarise(nlohmann::ordered_json *summary) {
  nlohmann::ordered_json store = nlohmann::ordered_json::object();
  store["written"] = written();
  store["failed"] = failed();
  store["batches"] = batches_.load(std::memory_order_relaxed);
  store["retention_deleted"] = retention_deleted_.load(std::memory_order_relaxed);
  (*summary)["store"] = store;
}

}  // namespace store
}  // namespace veska
