// The events the benchmarks and the load tool track: a small one with no sections, a typical
// one of about 120 bytes on the wire and a large one of about 4 KiB. Each record owns the
// lists and bytes its event points at, so a copy per thread is all a caller needs.
#ifndef VESKA_BENCH_BENCH_EVENTS_H
#define VESKA_BENCH_BENCH_EVENTS_H

#include <stdio.h>
#include <string.h>

#include "types.h"

namespace veska_bench {

// The typical event's fields, shared with the peers so that they log the same values.
struct TypicalFields {
  static constexpr const char *kTransactionId = "txn-000000000042";  // 16 bytes
  static constexpr const char *kDataName1 = "customer";
  static constexpr const char *kDataValue1 = "ACME Corporation";
  static constexpr const char *kDataName2 = "amount";
  static constexpr const char *kDataValue2 = "129.50 EUR";
  static constexpr const char *kLinkHex = "0a0b0c0d";  // the link id's four bytes, as text
  static constexpr const char *kStitchName = "correlation";
  static constexpr const char *kStitchValue = "c-77";
  static constexpr const char *kContextName = "host";
  static constexpr const char *kContextValue = "app-01";
};

// A HERE event with nothing but its type and time ("now").
struct SmallEvent {
  qiva_event_t event;
  SmallEvent() {
    memset(&event, 0, sizeof event);
    event.type = QIVA_HERE_EVENT;
  }
};

// An OUTBOUND event of 120 bytes on the wire: 16-byte transaction id, two data pairs, a horizontal
// link with one stitch, one context pair, time "now". The transaction id lives in the record, so a
// caller may number it (SetNumber) without touching anything shared.
struct TypicalEvent {
  qiva_values_list_t data[2];
  qiva_values_list_t stitch;
  qiva_values_list_t context;
  unsigned char transaction_id[16];
  unsigned char link[4];
  qiva_event_t event;

  TypicalEvent() {
    memset(this, 0, sizeof *this);
    typedef TypicalFields F;
    memcpy(transaction_id, F::kTransactionId, sizeof transaction_id);
    static const unsigned char kLink[4] = {0x0a, 0x0b, 0x0c, 0x0d};
    memcpy(link, kLink, sizeof link);
    data[0] = {&data[1], F::kDataName1, _bytes(F::kDataValue1), _length(F::kDataValue1), 0};
    data[1] = {nullptr, F::kDataName2, _bytes(F::kDataValue2), _length(F::kDataValue2), 0};
    stitch = {nullptr, F::kStitchName, _bytes(F::kStitchValue), _length(F::kStitchValue), 0};
    context = {nullptr, F::kContextName, _bytes(F::kContextValue), _length(F::kContextValue), 0};
    event.type = QIVA_OUTBOUND_EVENT;
    event.instance_id.transaction_id = transaction_id;
    event.instance_id.size = sizeof transaction_id;
    event.instance_id.transaction_data = &data[0];
    event.horizontal_id.caller_type = QIVA_HTTP_CALLER;
    event.horizontal_id.link_id = link;
    event.horizontal_id.link_id_size = sizeof link;
    event.horizontal_id.stitch_ids = &stitch;
    event.horizontal_context = &context;
  }
  TypicalEvent(const TypicalEvent &) = delete;
  TypicalEvent &operator=(const TypicalEvent &) = delete;

  // Transaction id "nTTSSSSSSSSSSSSS": thread number (2 digits) and sequence (13 digits), so a
  // reader of the collector's output can find every gap.
  void SetNumber(unsigned thread, unsigned long long sequence) {
    char text[32];
    snprintf(text, sizeof text, "n%02u%013llu", thread % 100u, sequence % 10000000000000ull);
    memcpy(transaction_id, text, sizeof transaction_id);
  }

  static const qiva_byte_t *_bytes(const char *text) {
    return reinterpret_cast<const qiva_byte_t *>(text);
  }
  static qiva_uint16_t _length(const char *text) {
    return static_cast<qiva_uint16_t>(strlen(text));
  }
};

// An OUTBOUND event with four transaction data pairs of 1000 bytes each: about 4 KiB.
struct LargeEvent {
  static const int kPairs = 4;
  static const int kValueSize = 1000;
  qiva_values_list_t data[kPairs];
  unsigned char value[kValueSize];
  unsigned char transaction_id[16];
  qiva_event_t event;

  LargeEvent() {
    memset(this, 0, sizeof *this);
    memset(value, 'v', sizeof value);
    memcpy(transaction_id, TypicalFields::kTransactionId, sizeof transaction_id);
    static const char *const kNames[kPairs] = {"payload-1", "payload-2", "payload-3", "payload-4"};
    for (int i = 0; i < kPairs; ++i) {
      data[i] = {i + 1 < kPairs ? &data[i + 1] : nullptr, kNames[i], value, kValueSize, 0};
    }
    event.type = QIVA_OUTBOUND_EVENT;
    event.instance_id.transaction_id = transaction_id;
    event.instance_id.size = sizeof transaction_id;
    event.instance_id.transaction_data = &data[0];
  }
  LargeEvent(const LargeEvent &) = delete;
  LargeEvent &operator=(const LargeEvent &) = delete;
};

// The typical event's transaction id with one data pair whose value is 4 KiB: past a page, the
// size that used to leave the pool for the heap.
struct Value4kEvent {
  static const int kValueSize = 4096;
  qiva_values_list_t data;
  unsigned char value[kValueSize];
  unsigned char transaction_id[16];
  qiva_event_t event;

  Value4kEvent() {
    memset(this, 0, sizeof *this);
    memset(value, 'v', sizeof value);
    memcpy(transaction_id, TypicalFields::kTransactionId, sizeof transaction_id);
    data = {nullptr, "payload", value, kValueSize, 0};
    event.type = QIVA_OUTBOUND_EVENT;
    event.instance_id.transaction_id = transaction_id;
    event.instance_id.size = sizeof transaction_id;
    event.instance_id.transaction_data = &data;
  }
  Value4kEvent(const Value4kEvent &) = delete;
  Value4kEvent &operator=(const Value4kEvent &) = delete;
};

}  // namespace veska_bench

#endif  // VESKA_BENCH_BENCH_EVENTS_H
