// Cost of sizing and serialising one event on the application's thread.
#include <benchmark/benchmark.h>

#include <string.h>

#include <vector>

#include "private_api.h"

namespace {

struct SampleEvent {
  qiva_values_list_t data[2];
  qiva_values_list_t stitch;
  qiva_values_list_t context;
  qiva_event_t event;

  SampleEvent() {
    memset(this, 0, sizeof *this);
    static const unsigned char tid[] = "order-4711";
    static const unsigned char link[] = {0x01, 0x02, 0x03, 0x04};
    data[0] = {&data[1], "customer", reinterpret_cast<const qiva_byte_t *>("ACME"), 4, 0};
    data[1] = {nullptr, "amount", reinterpret_cast<const qiva_byte_t *>("129.50"), 6, 0};
    stitch = {nullptr, "correlation", reinterpret_cast<const qiva_byte_t *>("c-77"), 4, 0};
    context = {nullptr, "host", reinterpret_cast<const qiva_byte_t *>("app-1"), 5, 0};
    event.type = QIVA_OUTBOUND_EVENT;
    event.timestamp = {1700000000u, 250u};
    event.instance_id.transaction_id = tid;
    event.instance_id.size = sizeof tid - 1;
    event.instance_id.transaction_data = &data[0];
    event.horizontal_id.caller_type = QIVA_HTTP_CALLER;
    event.horizontal_id.link_id = link;
    event.horizontal_id.link_id_size = sizeof link;
    event.horizontal_id.stitch_ids = &stitch;
    event.vertical_context = &context;
  }
};

void BM_CalculateEventSize(benchmark::State &state) {
  SampleEvent sample;
  for (auto _ : state) benchmark::DoNotOptimize(VE_calculate_event_message_size(&sample.event));
}
BENCHMARK(BM_CalculateEventSize);

void BM_SerialiseEvent(benchmark::State &state) {
  SampleEvent sample;
  ve_uint16_t payload = VE_calculate_event_message_size(&sample.event);
  std::vector<unsigned char> buffer(payload + 4u);
  for (auto _ : state) {
    VE_serialise_event_message(&sample.event, buffer.data(), static_cast<ve_uint16_t>(payload + 4));
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (payload + 4));
}
BENCHMARK(BM_SerialiseEvent);

}  // namespace
