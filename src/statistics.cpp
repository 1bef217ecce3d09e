// Process-wide statistics counters and the statistics message that reports them. The
// counters are reports, not invariants: relaxed atomic updates are enough, they only need
// to be free of torn or lost increments between the enqueuing and dispatching threads.
#include "src/statistics.h"

#include "lib/serialisation/serialisation.h"
#include "protocol/message_header.h"

namespace {

// Zero at load, shared by every configuration, never reset by the library itself.
ve_uint32_t statistics_counters[VE_STATS_COUNTER_COUNT];

// The callers always pass one of the two counters; anything else is ignored rather than
// touching memory outside the array.
inline ve_uint32_t *_counter(ve_counter_type type) {
  unsigned index = static_cast<unsigned>(type);
  return index < VE_STATS_COUNTER_COUNT ? &statistics_counters[index] : nullptr;
}

}  // namespace

extern "C" {

void VE_statistics_counter_increment(ve_counter_type type) {
  // Unsigned arithmetic: 4294967295 + 1 wraps to 0.
  if (ve_uint32_t *c = _counter(type)) __atomic_fetch_add(c, 1u, __ATOMIC_RELAXED);
}

void VE_statistics_counter_decrement(ve_counter_type type) {
  if (ve_uint32_t *c = _counter(type)) __atomic_fetch_sub(c, 1u, __ATOMIC_RELAXED);
}

void VE_statistics_counter_reset(ve_counter_type type) {
  if (ve_uint32_t *c = _counter(type)) __atomic_store_n(c, 0u, __ATOMIC_RELAXED);
}

ve_uint32_t VE_statistics_counter_get(ve_counter_type type) {
  ve_uint32_t *c = _counter(type);
  return c != nullptr ? __atomic_load_n(c, __ATOMIC_RELAXED) : 0;
}

int VE_serialise_statistics_message(unsigned char *buffer) {
  // Both counters are read before anything is written.
  ve_uint32_t dropped = VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED);
  ve_uint32_t connections = VE_statistics_counter_get(VE_STATS_CONNECTIONS_MADE);
  int rc = VE_serialise_message_header(buffer, VE_MESSAGE_HEARTBEAT,
                                       VE_STATISTICS_MESSAGE_SIZE - VE_MESSAGE_HEADER_SIZE,
                                       VE_STATISTICS_VERSION);
  if (rc != 0) return rc;
  VE_pack_uint32(dropped, buffer + 4);
  VE_pack_uint16(static_cast<ve_uint16_t>(connections), buffer + 8);  // low 16 bits only
  return 0;
}

}  // extern "C"
