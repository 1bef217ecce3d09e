#include "support/client_events.h"

#include <cstring>

#include "support/event_builder.h"

namespace veska_test {
namespace {

// The test event; the builder keeps its bytes.
void _build_event(EventBuilder *b, const std::string &id, size_t padding) {
  qiva_event_t &e = b->event();
  e.type = QIVA_HERE_EVENT;
  e.timestamp = {1000, 250};
  b->transaction_id(Bytes(id.begin(), id.end()));
  if (padding > 0) e.horizontal_context = b->list({{"pad", Bytes(padding, 'p')}});
}

}  // namespace

size_t test_event_size(const std::string &id, size_t padding) {
  EventBuilder b;
  _build_event(&b, id, padding);
  ve_uint16_t payload = VE_calculate_event_message_size(&b.event());
  if (payload > VE_EVENT_PAYLOAD_LIMIT) return 0;
  return static_cast<size_t>(payload) + VE_MESSAGE_HEADER_SIZE;
}

std::vector<uint8_t> serialise_test_event(const std::string &id, size_t padding) {
  EventBuilder b;
  _build_event(&b, id, padding);
  ve_uint16_t payload = VE_calculate_event_message_size(&b.event());
  if (payload > VE_EVENT_PAYLOAD_LIMIT) return {};
  std::vector<uint8_t> bytes(static_cast<size_t>(payload) + VE_MESSAGE_HEADER_SIZE);
  if (VE_serialise_event_message(&b.event(), bytes.data(),
                                 static_cast<ve_uint16_t>(bytes.size())) != 0) {
    return {};
  }
  return bytes;
}

int enqueue_test_event(qiva_config_t *config, const std::string &id, size_t padding) {
  if (config == nullptr || config->handle == nullptr) return QIVA_ERR_LOGIC;
  std::vector<uint8_t> bytes = serialise_test_event(id, padding);
  if (bytes.empty()) return QIVA_ERR_EVENT_INTERNAL;
  auto *data = static_cast<ve_config_data_t *>(config->handle);
  ve_memory_pool_t *pool = data->client_data.memory_pool;
  ve_uint16_t size = static_cast<ve_uint16_t>(bytes.size());
  ve_memory_pool_handle_t block = VE_memory_pool_alloc(pool, size);
  if (block == nullptr) return QIVA_ERR_NOMEM;
  std::memcpy(VE_memory_pool_data(pool, block), bytes.data(), bytes.size());
  int rc = VE_enqueue_message(config, block, size);
  if (rc != 0) VE_memory_pool_free(pool, block);
  return rc;
}

}  // namespace veska_test
