// Cost of QIVA_track on the caller's thread, with a configuration whose transport discards
// everything, so the figure is validation, serialisation and queueing only.
#include <benchmark/benchmark.h>

#include <string.h>

#include "private_api.h"

namespace {

void BM_TrackHereEvent(benchmark::State &state) {
  qiva_config_t config;
  memset(&config, 0, sizeof config);
  config.server = "null:discard";
  config.queue_size = 1000;
  if (QIVA_init(&config) != 0) {
    state.SkipWithError("QIVA_init failed");
    return;
  }
  static const unsigned char tid[] = "bench-transaction";
  qiva_values_list_t data = {nullptr, "step", reinterpret_cast<const qiva_byte_t *>("1"), 1, 0};
  qiva_event_t event;
  memset(&event, 0, sizeof event);
  event.type = QIVA_HERE_EVENT;
  event.instance_id.transaction_id = tid;
  event.instance_id.size = sizeof tid - 1;
  event.instance_id.transaction_data = &data;
  for (auto _ : state) benchmark::DoNotOptimize(QIVA_track(&config, &event));
  QIVA_shutdown(&config);
}
BENCHMARK(BM_TrackHereEvent);

}  // namespace
