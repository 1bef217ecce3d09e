// QIVA_track over the null transport, side by side with its peers (an spdlog asynchronous
// logger and a preallocated ring), in rounds that alternate the three paths so that they share
// the machine's state and only their ratios matter.
//
// Every path runs in batches smaller than its queue: one benchmark iteration is one batch of
// calls per thread, timed by the thread itself; between batches, outside the timed region, the
// thread waits until the consumer has taken everything (QIVA_flush for veska). The consumer
// still runs during the batch, as it would in an application, but a queue that the consumer
// cannot keep up with inside one batch never reaches its capacity, so no figure is bought with
// drops. Drops are counted all the same (for veska from VE_STATS_EVENTS_DROPPED).
#include "bench/track_bench.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_events.h"
#include "bench/heap_count.h"
#include "bench/peers.h"
#include "private_api.h"

namespace veska_bench {
namespace {

const ve_uint16_t kQueueSize = 65535;
const int kDrainTimeoutMs = 30000;

typedef std::chrono::steady_clock Clock;

// Per-thread timing. A batch is timed as groups of kGroup calls: the median of the group
// means is the figure (call_ns), so a thread preempted by the rest of a busy machine spoils a
// few groups, not the figure, while two clock reads per group cost under 2 ns per call. The
// plain mean of whole batches (mean_ns) counts every pause, the consumer's included.
const int kGroup = 64;

class BatchTimer {
 public:
  explicit BatchTimer(int batch) : batch_(batch) { group_ns_.reserve(1 << 17); }

  // Makes room for the next batch's group figures, so that the batch itself uses no heap.
  void Reserve() { group_ns_.reserve(group_ns_.size() + batch_ / kGroup + 1); }

  // Runs one batch of calls of call(i), timed by groups.
  template <typename Call>
  void Run(benchmark::State &state, Call call) {
    Clock::time_point batch_start = Clock::now();
    for (int done = 0; done < batch_; done += kGroup) {
      Clock::time_point start = Clock::now();
      for (int i = done; i < done + kGroup; ++i) call(i);
      group_ns_.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                          kGroup);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - batch_start).count();
    state.SetIterationTime(seconds);
    total_seconds_ += seconds;
    calls_ += batch_;
  }

  void Report(benchmark::State &state, uint64_t failed) {
    if (group_ns_.empty()) return;
    std::nth_element(group_ns_.begin(), group_ns_.begin() + group_ns_.size() / 2, group_ns_.end());
    state.counters["call_ns"] =
        benchmark::Counter(group_ns_[group_ns_.size() / 2], benchmark::Counter::kAvgThreads);
    state.counters["mean_ns"] = benchmark::Counter(
        total_seconds_ * 1e9 / static_cast<double>(calls_), benchmark::Counter::kAvgThreads);
    state.counters["failed"] = static_cast<double>(failed);
    state.SetItemsProcessed(static_cast<int64_t>(calls_));
  }
  uint64_t calls() const { return calls_; }

 private:
  int batch_;
  std::vector<double> group_ns_;
  double total_seconds_ = 0;
  uint64_t calls_ = 0;
};

// Drops of a whole run: read by thread 0 before the start barrier and after the stop barrier
// of the benchmark loop, when no other thread is producing.
void _report_drops(benchmark::State &state, uint64_t drops, uint64_t own_calls) {
  double total = static_cast<double>(own_calls) * state.threads();
  state.counters["drops"] = static_cast<double>(drops);
  state.counters["drop_pct"] = total > 0 ? 100.0 * static_cast<double>(drops) / total : 0.0;
}

qiva_config_t track_config;
ve_uint32_t track_drops_before;

template <typename Event>
void _track(benchmark::State &state, int batch) {
  if (state.thread_index() == 0) {
    memset(&track_config, 0, sizeof track_config);
    track_config.server = "null:discard";
    track_config.queue_size = kQueueSize;
    if (QIVA_init(&track_config) != 0) state.SkipWithError("QIVA_init failed");
    track_drops_before = VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED);
  }
  Event event;
  BatchTimer timer(batch);
  uint64_t failed = 0;
  qiva_time_t flush_timeout = {kDrainTimeoutMs / 1000, 0};
  // Heap calls of the whole process (producers and dispatcher) over every batch and its
  // flush but the first, which may still grow the pool: the steady state makes none.
  uint64_t heap_calls = 0, steady_calls = 0;
  for (auto _ : state) {
    timer.Reserve();
    const uint64_t heap_before = HeapCalls();
    timer.Run(state, [&](int) {
      if (QIVA_track(&track_config, &event.event) != 0) ++failed;
    });
    if (QIVA_flush(&track_config, &flush_timeout) != 0) {
      state.SkipWithError("QIVA_flush did not drain the queue");
      break;
    }
    if (timer.calls() > static_cast<uint64_t>(batch)) {
      heap_calls += HeapCalls() - heap_before;
      steady_calls += batch;
    }
  }
  if (steady_calls > 0) {
    state.counters["heap_per_call"] =
        benchmark::Counter(static_cast<double>(heap_calls) / static_cast<double>(steady_calls),
                           benchmark::Counter::kAvgThreads);
  }
  timer.Report(state, failed);
  if (state.thread_index() == 0) {
    _report_drops(state, VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED) - track_drops_before,
                  timer.calls());
    QIVA_shutdown(&track_config);
  }
}

std::unique_ptr<SpdlogPeer> spdlog_peer;
size_t spdlog_drops_before;

void _spdlog(benchmark::State &state, int batch) {
  if (state.thread_index() == 0) {
    spdlog_peer.reset(new SpdlogPeer(kQueueSize));
    spdlog_drops_before = spdlog_peer->Drops();
  }
  BatchTimer timer(batch);
  for (auto _ : state) {
    timer.Run(state, [](int) { spdlog_peer->Log(); });
    if (!spdlog_peer->Drain(kDrainTimeoutMs)) {
      state.SkipWithError("the spdlog worker did not drain its queue");
      break;
    }
  }
  timer.Report(state, 0);
  if (state.thread_index() == 0) {
    _report_drops(state, spdlog_peer->Drops() - spdlog_drops_before, timer.calls());
    spdlog_peer.reset();
  }
}

std::unique_ptr<FloorRing> floor_ring;

void _floor(benchmark::State &state, int batch) {
  if (state.thread_index() == 0) floor_ring.reset(new FloorRing(16));  // 65536 slots
  unsigned char message[FloorRing::kMessageSize];
  memset(message, 0x5a, sizeof message);
  BatchTimer timer(batch);
  for (auto _ : state) {
    timer.Run(state, [&](int i) {
      message[0] = static_cast<unsigned char>(i);
      floor_ring->Publish(message);
    });
    if (!floor_ring->Drain(kDrainTimeoutMs)) {
      state.SkipWithError("the ring's consumer did not drain it");
      break;
    }
  }
  timer.Report(state, 0);
  if (state.thread_index() == 0) {
    _report_drops(state, floor_ring->Drops(), timer.calls());
    floor_ring.reset();
  }
}

// Two producers share one queue: each batch is half the queue at most, so even a consumer
// that never ran could not make it drop. Both are multiples of kGroup.
const int kTypicalBatch = 16384;
const int kLargeBatch = 2048;

}  // namespace

void RegisterTrackBenchmarks(int rounds) {
  for (int round = 1; round <= rounds; ++round) {
    const std::string suffix = "/round:" + std::to_string(round);
    for (int threads = 1; threads <= 2; ++threads) {
      benchmark::RegisterBenchmark(
          ("compare/typical/veska" + suffix).c_str(),
          [](benchmark::State &s) { _track<TypicalEvent>(s, kTypicalBatch); })
          ->Threads(threads)
          ->UseManualTime();
      benchmark::RegisterBenchmark(("compare/typical/spdlog" + suffix).c_str(),
                                   [](benchmark::State &s) { _spdlog(s, kTypicalBatch); })
          ->Threads(threads)
          ->UseManualTime();
      benchmark::RegisterBenchmark(("compare/typical/floor" + suffix).c_str(),
                                   [](benchmark::State &s) { _floor(s, kTypicalBatch); })
          ->Threads(threads)
          ->UseManualTime();
    }
  }
  for (int threads = 1; threads <= 2; ++threads) {
    benchmark::RegisterBenchmark("compare/small/veska",
                                 [](benchmark::State &s) { _track<SmallEvent>(s, kTypicalBatch); })
        ->Threads(threads)
        ->UseManualTime();
    benchmark::RegisterBenchmark("compare/large/veska",
                                 [](benchmark::State &s) { _track<LargeEvent>(s, kLargeBatch); })
        ->Threads(threads)
        ->UseManualTime();
    benchmark::RegisterBenchmark("compare/value4k/veska",
                                 [](benchmark::State &s) { _track<Value4kEvent>(s, kLargeBatch); })
        ->Threads(threads)
        ->UseManualTime();
  }
}

}  // namespace veska_bench
