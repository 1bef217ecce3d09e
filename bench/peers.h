// What QIVA_track is compared with in the same process: an spdlog asynchronous logger with a
// null sink, and the floor of any queueing tracker (bench/floor_ring.h).
#ifndef VESKA_BENCH_PEERS_H
#define VESKA_BENCH_PEERS_H

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/null_sink.h>
#include <stdint.h>

#include <memory>

#include "bench/bench_events.h"
#include "bench/floor_ring.h"

namespace veska_bench {

// An spdlog asynchronous logger as an application would set it up for the same job: a queue
// of the same capacity, overrun_oldest (a full queue drops its oldest message, as veska does)
// and one worker thread writing to a sink that discards.
class SpdlogPeer {
 public:
  explicit SpdlogPeer(size_t capacity)
      : pool_(std::make_shared<spdlog::details::thread_pool>(capacity, 1)),
        logger_(std::make_shared<spdlog::async_logger>(
            "veska-bench-peer", std::make_shared<spdlog::sinks::null_sink_mt>(), pool_,
            spdlog::async_overflow_policy::overrun_oldest)) {}

  // The typical event's four fields: transaction id, the two data pairs, the horizontal link
  // with its stitch and the context pair.
  void Log() {
    typedef TypicalFields F;
    logger_->info("tid={} data={}={},{}={} link=HTTP:{} {}={} ctx={}={}", F::kTransactionId,
                  F::kDataName1, F::kDataValue1, F::kDataName2, F::kDataValue2, F::kLinkHex,
                  F::kStitchName, F::kStitchValue, F::kContextName, F::kContextValue);
  }

  size_t Drops() { return pool_->overrun_counter(); }

  // Waits until the worker has taken every queued message; false after timeout_ms.
  bool Drain(int timeout_ms) {
    for (int waited_us = 0; waited_us < timeout_ms * 1000; waited_us += 50) {
      if (pool_->queue_size() == 0) return true;
      SleepMicroseconds(50);
    }
    return false;
  }

 private:
  std::shared_ptr<spdlog::details::thread_pool> pool_;
  std::shared_ptr<spdlog::async_logger> logger_;
};

}  // namespace veska_bench

#endif  // VESKA_BENCH_PEERS_H
