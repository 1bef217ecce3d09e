#include "support/client_events.h"

#include <cstring>

namespace veska_test {
namespace {

// Fills an event record; the strings must outlive its use.
void _fill_event(qiva_event_t *event, qiva_values_list_t *pad, const std::string &id,
                 const std::string &padding_bytes) {
  std::memset(event, 0, sizeof *event);
  event->type = QIVA_HERE_EVENT;
  event->timestamp.sec = 1000;
  event->timestamp.usec = 250;
  event->instance_id.transaction_id = reinterpret_cast<const qiva_byte_t *>(id.data());
  event->instance_id.size = static_cast<qiva_uint16_t>(id.size());
  if (!padding_bytes.empty()) {
    std::memset(pad, 0, sizeof *pad);
    pad->name = "pad";
    pad->value = reinterpret_cast<const qiva_byte_t *>(padding_bytes.data());
    pad->size = static_cast<qiva_uint16_t>(padding_bytes.size());
    event->horizontal_context = pad;
  }
}

}  // namespace

size_t test_event_size(const std::string &id, size_t padding) {
  qiva_event_t event;
  qiva_values_list_t pad;
  std::string padding_bytes(padding, 'p');
  _fill_event(&event, &pad, id, padding_bytes);
  ve_uint16_t payload = VE_calculate_event_message_size(&event);
  if (payload > VE_EVENT_PAYLOAD_LIMIT) return 0;
  return static_cast<size_t>(payload) + VE_MESSAGE_HEADER_SIZE;
}

std::vector<uint8_t> serialise_test_event(const std::string &id, size_t padding) {
  qiva_event_t event;
  qiva_values_list_t pad;
  std::string padding_bytes(padding, 'p');
  _fill_event(&event, &pad, id, padding_bytes);
  ve_uint16_t payload = VE_calculate_event_message_size(&event);
  if (payload > VE_EVENT_PAYLOAD_LIMIT) return {};
  std::vector<uint8_t> bytes(static_cast<size_t>(payload) + VE_MESSAGE_HEADER_SIZE);
  if (VE_serialise_event_message(&event, bytes.data(), static_cast<ve_uint16_t>(bytes.size())) !=
      0) {
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
