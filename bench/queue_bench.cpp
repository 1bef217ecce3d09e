// Cost of the queue's push and pop, alone and with producers contending.
#include <benchmark/benchmark.h>

#include "private_api.h"

namespace {

void BM_QueuePushPop(benchmark::State &state) {
  cyclic_queue_t queue;
  CCQ_init(&queue, 1000, sizeof(ve_message_buffer_t));
  ve_message_buffer_t in = {0, 100, &queue};
  ve_message_buffer_t out;
  for (auto _ : state) {
    CCQ_push(&queue, &in, nullptr);
    benchmark::DoNotOptimize(CCQ_pop(&queue, &out));
  }
  CCQ_destroy(&queue);
}
BENCHMARK(BM_QueuePushPop);

cyclic_queue_t shared_queue;

void BM_QueueContendedPush(benchmark::State &state) {
  if (state.thread_index() == 0) CCQ_init(&shared_queue, 1000, sizeof(ve_message_buffer_t));
  ve_message_buffer_t in = {0, 100, &state};
  ve_message_buffer_t dropped;
  for (auto _ : state) CCQ_push(&shared_queue, &in, &dropped);
  if (state.thread_index() == 0) CCQ_destroy(&shared_queue);
}
BENCHMARK(BM_QueueContendedPush)->Threads(1)->Threads(2)->Threads(4);

}  // namespace
