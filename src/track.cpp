/*
 * QIVA_track: validate an event, serialise it into a pool block and queue it for the
 * dispatcher, all on the caller's thread and without touching the network. Whatever fails,
 * nothing is queued and the caller's record is as it was (a pre-built block keeps its top
 * type bit cleared).
 */
#include <string.h>

#include "lib/vecommon/ve_logging.h"
#include "src/client_data.h"
#include "src/common_context.h"
#include "src/config_data.h"
#include "src/event_message.h"
#include "src/memory_pool-internal.h"
#include "src/memory_pool.h"
#include "src/preprocess.h"

VE_LOG_FILE("veska");

namespace {

constexpr ve_uint32_t kHeaderSize = 4;

bool _starts_unit_of_work(ve_uint32_t type) {
  return type == QIVA_STARTED_EVENT || type == QIVA_STARTED_INBOUND_EVENT;
}

}  // namespace

extern "C" int QIVA_track(qiva_config_t *config, qiva_event_t *event) {
  VE_LOG_ENTER("VE_track");
  if (config == nullptr || event == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  // The handle is read without a lock: tracking must not race QIVA_init or QIVA_shutdown of
  // the same configuration.
  ve_config_data_t *data = static_cast<ve_config_data_t *>(config->handle);
  if (data == nullptr) {
    VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_VESKA_NOT_INITIALISED);
    VE_RETURN(QIVA_ERR_LOGIC);
  }
  ve_memory_pool_t *pool = data->client_data.memory_pool;

  if ((event->type & QIVA_PREBUILT_BLOCK_FLAG) != 0) {
    // A caller-built block: the record's own bytes, from the type word on, are the message.
    // The caller supplies at least the block size in bytes there.
    event->type &= ~QIVA_PREBUILT_BLOCK_FLAG;
    ve_uint16_t block_size = static_cast<ve_uint16_t>(event->type + kHeaderSize);
    ve_memory_pool_handle_t block = veska_internal::pool_alloc(pool, block_size);
    void *bytes = block != nullptr ? veska_internal::pool_data(pool, block) : nullptr;
    if (bytes == nullptr) {
      if (block != nullptr) veska_internal::pool_free(pool, block);
      VE_RETURN(QIVA_ERR_NOMEM);
    }
    memcpy(bytes, event, block_size);
    int rc = VE_enqueue_message(config, block, block_size);
    if (rc != 0) veska_internal::pool_free(pool, block);
    VE_RETURN(rc);
  }

  qiva_values_list_t *const caller_vertical_context = event->vertical_context;
  int rc = VE_preprocess_event(event);
  if (rc != 0) VE_RETURN(rc);

  // A unit of work's first event carries the host's addresses as its first vertical context
  // item. The splice lives on this stack frame and is undone on every path below, before
  // anything can return.
  qiva_values_list_t server_address;
  if (_starts_unit_of_work(event->type)) {
    ve_uint32_t count = 0;
    if (VE_common_context(&server_address, &count) == 0 && count != 0) {
      server_address.next = caller_vertical_context;
      event->vertical_context = &server_address;
    }
  }

  // Sizing records what it measured, and the writer reuses it for the same unchanged event.
  ve_event_layout_t layout;
  ve_uint16_t payload = VE_size_event_layout(event, &layout);
  if (payload > VE_EVENT_PAYLOAD_LIMIT) {
    event->vertical_context = caller_vertical_context;
    VE_RETURN(QIVA_ERR_EVENT_INTERNAL);
  }
  ve_uint16_t total = static_cast<ve_uint16_t>(payload + kHeaderSize);
  ve_memory_pool_handle_t message = veska_internal::pool_alloc(pool, total);
  if (message == nullptr) {
    event->vertical_context = caller_vertical_context;
    VE_RETURN(QIVA_ERR_NOMEM);
  }
  unsigned char *bytes = static_cast<unsigned char *>(veska_internal::pool_data(pool, message));
  if (bytes == nullptr) {
    // What the serialiser answers for a block without bytes.
    event->vertical_context = caller_vertical_context;
    veska_internal::pool_free(pool, message);
    VE_RETURN(QIVA_ERR_NOMEM);
  }
  VE_write_event_layout(event, &layout, bytes, total);
  event->vertical_context = caller_vertical_context;
  rc = VE_enqueue_message(config, message, total);
  if (rc != 0) veska_internal::pool_free(pool, message);
  VE_RETURN(rc);
}
