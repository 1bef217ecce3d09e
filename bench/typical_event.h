// The typical event the forwarding benchmarks send: about 117 bytes on the wire, with a 16-byte
// transaction id, two data pairs, a horizontal link with one stitch and one context pair.
// collector_feed sends it to the collector and kafka_peer produces it straight to Kafka, so both
// sides of the comparison carry the same bytes.
#ifndef VESKA_BENCH_TYPICAL_EVENT_H
#define VESKA_BENCH_TYPICAL_EVENT_H

#include <stdio.h>
#include <string.h>

#include <cstdint>
#include <vector>

#include "private_api.h"

namespace veska_bench {

// The wire message of a typical event whose transaction id carries number.
inline std::vector<uint8_t> typical_event(uint64_t number) {
  char tid[17];
  snprintf(tid, sizeof tid, "txn-%012llu",
           static_cast<unsigned long long>(number % 1000000000000ULL));
  static const char kCustomer[] = "C-1042", kChannel[] = "web", kHop[] = "hop-7",
                    kEndpoint[] = "POST /orders/v1";
  qiva_values_list_t channel = {nullptr, "channel", reinterpret_cast<const qiva_byte_t *>(kChannel),
                                3, 0};
  qiva_values_list_t customer = {&channel, "customer",
                                 reinterpret_cast<const qiva_byte_t *>(kCustomer), 6, 0};
  qiva_values_list_t stitch = {nullptr, "hop", reinterpret_cast<const qiva_byte_t *>(kHop), 5, 0};
  qiva_values_list_t context = {nullptr, "endpoint",
                                reinterpret_cast<const qiva_byte_t *>(kEndpoint), 15, 0};
  static const qiva_byte_t kLink[] = {'g', 'w', '-', 'r', 'e', 'q', '-', '5', '5', '1', '2'};
  qiva_event_t event;
  memset(&event, 0, sizeof event);
  event.type = QIVA_HERE_EVENT;
  event.timestamp = {1796736241, static_cast<qiva_uint32_t>(number % 1000000)};
  event.instance_id.transaction_id = reinterpret_cast<const qiva_byte_t *>(tid);
  event.instance_id.size = 16;
  event.instance_id.transaction_data = &customer;
  event.horizontal_id.caller_type = 1;
  event.horizontal_id.link_id = kLink;
  event.horizontal_id.link_id_size = sizeof kLink;
  event.horizontal_id.stitch_ids = &stitch;
  event.horizontal_context = &context;
  std::vector<uint8_t> bytes(VE_calculate_event_message_size(&event) + 4u);
  VE_serialise_event_message(&event, bytes.data(), static_cast<ve_uint16_t>(bytes.size()));
  return bytes;
}

}  // namespace veska_bench

#endif  // VESKA_BENCH_TYPICAL_EVENT_H
