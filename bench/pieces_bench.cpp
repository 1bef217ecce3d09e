// The pieces of QIVA_track alone, on the typical event: validation, sizing, the pool
// allocation, serialisation and the enqueue step; and the dispatcher's per-event work, copying
// queued messages into its send buffer and freeing their blocks (the real send step over the
// null transport, driven on the benchmark's thread).
//
// Blocks are allocated on one thread and freed on another, as in the library, so the figures
// include what the allocator charges for that. Batch pieces time each batch themselves and
// report ns per call in the counter call_ns; the work that sets a batch up is not timed.
#include <benchmark/benchmark.h>
#include <string.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "bench/bench_events.h"
#include "private_api.h"

namespace veska_bench {
namespace {

typedef std::chrono::steady_clock Clock;
const int kBatch = 16384;

void BM_PieceValidate(benchmark::State &state) {
  TypicalEvent typical;
  for (auto _ : state) benchmark::DoNotOptimize(VE_preprocess_event(&typical.event));
}
BENCHMARK(BM_PieceValidate)->Name("piece/validate");

void BM_PieceSize(benchmark::State &state) {
  TypicalEvent typical;
  for (auto _ : state) benchmark::DoNotOptimize(VE_calculate_event_message_size(&typical.event));
}
BENCHMARK(BM_PieceSize)->Name("piece/size");

void BM_PieceSerialise(benchmark::State &state) {
  TypicalEvent typical;
  typical.event.timestamp = {1700000000u, 250u};
  ve_uint16_t size = static_cast<ve_uint16_t>(VE_calculate_event_message_size(&typical.event) + 4);
  std::vector<unsigned char> buffer(size);
  for (auto _ : state) {
    VE_serialise_event_message(&typical.event, buffer.data(), size);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.counters["message_bytes"] = size;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_PieceSerialise)->Name("piece/serialise");

// A configuration's client state over the null transport, without a dispatcher thread: the
// benchmark's thread plays the dispatcher by calling the send step itself.
class StandaloneClient {
 public:
  StandaloneClient() : data_(new ve_config_data_t) {
    memset(&config_, 0, sizeof config_);
    config_.server = "null:discard";
    config_.queue_size = 65535;
    config_.connect_timeout = 1000;
    config_.connect_retries = 1;
    config_.connect_retry_interval = 10;
    config_.handle = data_.get();
    ok_ = VE_config_data_init(data_.get(), &config_) == 0;
    if (ok_) ok_ = connect_client(&config_, state()) == 0 && Drain();
  }
  ~StandaloneClient() {
    if (ok_) VE_config_data_destroy(data_.get());
  }
  StandaloneClient(const StandaloneClient &) = delete;
  StandaloneClient &operator=(const StandaloneClient &) = delete;

  bool ok() const { return ok_; }
  qiva_config_t *config() { return &config_; }
  ve_memory_pool_t *pool() { return data_->client_data.memory_pool; }
  dispatcher_state_t *state() { return &data_->client_data.dispatcher_state; }
  // The send step until nothing is waiting; the null transport takes every byte.
  bool Drain() {
    for (int i = 0; i < 1000 && data_is_available(state()) != 0; ++i) {
      if (on_writeable(&state()->endpoint) != 0) return false;
    }
    return data_is_available(state()) == 0;
  }

 private:
  qiva_config_t config_;
  std::unique_ptr<ve_config_data_t> data_;
  bool ok_ = false;
};

// count serialised typical messages from the pool, allocated on a thread of their own.
std::vector<ve_memory_pool_handle_t> _make_messages(StandaloneClient *client, int count,
                                                    ve_uint16_t *size) {
  std::vector<ve_memory_pool_handle_t> blocks(count);
  std::thread([&] {
    TypicalEvent typical;
    *size = static_cast<ve_uint16_t>(VE_calculate_event_message_size(&typical.event) + 4);
    for (auto &block : blocks) {
      block = VE_memory_pool_alloc(client->pool(), *size);
      VE_serialise_event_message(
          &typical.event, static_cast<unsigned char *>(VE_memory_pool_data(client->pool(), block)),
          *size);
    }
  }).join();
  return blocks;
}

double _seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void _report_batches(benchmark::State &state, double seconds) {
  uint64_t calls = static_cast<uint64_t>(state.iterations()) * kBatch;
  state.counters["call_ns"] = calls != 0 ? seconds * 1e9 / static_cast<double>(calls) : 0.0;
  state.SetItemsProcessed(static_cast<int64_t>(calls));
}

// Runs `batch` once per iteration over a fresh standalone client; `batch` returns the seconds of
// the part it timed, or a negative value when the send step left data waiting.
template <typename Batch>
void _run_batches(benchmark::State &state, Batch batch) {
  StandaloneClient client;
  if (!client.ok()) return state.SkipWithError("client state not built");
  double total = 0;
  for (auto _ : state) {
    double seconds = batch(&client);
    if (seconds < 0) return state.SkipWithError("the send step left data waiting");
    state.SetIterationTime(seconds);
    total += seconds;
  }
  _report_batches(state, total);
}

void BM_PieceAlloc(benchmark::State &state) {
  std::vector<ve_memory_pool_handle_t> blocks(kBatch);
  TypicalEvent typical;
  ve_uint16_t size = static_cast<ve_uint16_t>(VE_calculate_event_message_size(&typical.event) + 4);
  _run_batches(state, [&](StandaloneClient *client) {
    Clock::time_point start = Clock::now();
    for (auto &block : blocks) block = VE_memory_pool_alloc(client->pool(), size);
    double seconds = _seconds_since(start);
    std::thread([&] {
      for (auto block : blocks) VE_memory_pool_free(client->pool(), block);
    }).join();
    return seconds;
  });
}
BENCHMARK(BM_PieceAlloc)->Name("piece/alloc")->UseManualTime();

void BM_PieceEnqueue(benchmark::State &state) {
  _run_batches(state, [](StandaloneClient *client) {
    ve_uint16_t size = 0;
    std::vector<ve_memory_pool_handle_t> blocks = _make_messages(client, kBatch, &size);
    Clock::time_point start = Clock::now();
    for (auto block : blocks) VE_enqueue_message(client->config(), block, size);
    double seconds = _seconds_since(start);
    return client->Drain() ? seconds : -1.0;
  });
}
BENCHMARK(BM_PieceEnqueue)->Name("piece/enqueue")->UseManualTime();

void BM_PieceCopyAndFree(benchmark::State &state) {
  _run_batches(state, [](StandaloneClient *client) {
    ve_uint16_t size = 0;
    std::vector<ve_memory_pool_handle_t> blocks = _make_messages(client, kBatch, &size);
    for (auto block : blocks) VE_enqueue_message(client->config(), block, size);
    Clock::time_point start = Clock::now();
    bool drained = client->Drain();
    double seconds = _seconds_since(start);
    return drained ? seconds : -1.0;
  });
}
BENCHMARK(BM_PieceCopyAndFree)->Name("piece/copy_and_free")->UseManualTime();

}  // namespace
}  // namespace veska_bench
