// Building and queueing event messages the way tracking does (size, pool block, serialise,
// enqueue), so that client tests do not depend on the tracking entry point.
#ifndef VESKA_TESTS_SUPPORT_CLIENT_EVENTS_H
#define VESKA_TESTS_SUPPORT_CLIENT_EVENTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "private_api.h"

namespace veska_test {

// The serialised bytes of a HERE event (type 1) whose transaction id is `id` and, when
// padding > 0, whose horizontal context holds one item "pad" of `padding` bytes 'p'.
// The timestamp is fixed (1000 s 250 us). Empty when the event would be too large.
std::vector<uint8_t> serialise_test_event(const std::string &id, size_t padding = 0);

// Total message bytes (header included) of that event.
size_t test_event_size(const std::string &id, size_t padding = 0);

// Serialises the same event into a block of the configuration's pool and enqueues it.
// Returns VE_enqueue_message's result (the block is freed here on failure), 26 for an
// inactive configuration, 24 when no block could be had, 100 when it is too large.
int enqueue_test_event(qiva_config_t *config, const std::string &id, size_t padding = 0);

}  // namespace veska_test

#endif  // VESKA_TESTS_SUPPORT_CLIENT_EVENTS_H
