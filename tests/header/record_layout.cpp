// The records outside programs see through types.h and private_api.h, pinned to their
// documented x86-64 layout: field order, offsets and sizes. A field moved, resized or inserted
// breaks the build here. Records the library allocates itself (the client and dispatcher
// state, a flush's record) may carry private fields after the documented ones, so for them
// only the documented fields and the least size are pinned.
#include <pthread.h>
#include <stddef.h>

#include "private_api.h"

namespace {

#define AT_(record, field, offset) \
  static_assert(offsetof(record, field) == (offset), #record "." #field " moved");
#define SIZE_(record, bytes) static_assert(sizeof(record) == (bytes), #record " resized");
#define AT_LEAST_(record, bytes) static_assert(sizeof(record) >= (bytes), #record " shrank");

static_assert(sizeof(void *) == 8 && sizeof(pthread_mutex_t) == 40 &&
                  sizeof(pthread_cond_t) == 48 && sizeof(pthread_once_t) == 4,
              "the records are laid out for x86-64 Linux");

// clang-format off

// Public records.
SIZE_(qiva_time_t, 8) AT_(qiva_time_t, sec, 0) AT_(qiva_time_t, usec, 4)
SIZE_(qiva_config_t, 48) AT_(qiva_config_t, server, 0) AT_(qiva_config_t, connect_timeout, 8)
AT_(qiva_config_t, connect_retries, 12) AT_(qiva_config_t, connect_retry_interval, 16)
AT_(qiva_config_t, pad1, 20) AT_(qiva_config_t, handle, 24)
AT_(qiva_config_t, token_filename, 32) AT_(qiva_config_t, queue_size, 40)
SIZE_(qiva_values_list_t, 32) AT_(qiva_values_list_t, next, 0) AT_(qiva_values_list_t, name, 8)
AT_(qiva_values_list_t, value, 16) AT_(qiva_values_list_t, size, 24)
AT_(qiva_values_list_t, flags, 26)
SIZE_(qiva_instance_id_t, 24) AT_(qiva_instance_id_t, transaction_id, 0)
AT_(qiva_instance_id_t, size, 8) AT_(qiva_instance_id_t, flags, 10)
AT_(qiva_instance_id_t, pad1, 12) AT_(qiva_instance_id_t, transaction_data, 16)
SIZE_(qiva_association_id_t, 32) AT_(qiva_association_id_t, caller_type, 0)
AT_(qiva_association_id_t, pad1, 4) AT_(qiva_association_id_t, link_id, 8)
AT_(qiva_association_id_t, link_id_size, 16) AT_(qiva_association_id_t, pad2, 17)
AT_(qiva_association_id_t, flags, 18) AT_(qiva_association_id_t, pad3, 20)
AT_(qiva_association_id_t, stitch_ids, 24)
SIZE_(qiva_event_t, 136) AT_(qiva_event_t, type, 0) AT_(qiva_event_t, timestamp, 4)
AT_(qiva_event_t, pad1, 12) AT_(qiva_event_t, instance_id, 16)
AT_(qiva_event_t, horizontal_id, 40) AT_(qiva_event_t, vertical_id, 72)
AT_(qiva_event_t, horizontal_context, 104) AT_(qiva_event_t, vertical_context, 112)
AT_(qiva_event_t, blocked, 120) AT_(qiva_event_t, pad2, 124) AT_(qiva_event_t, reserved1, 128)
SIZE_(qiva_callbacks_t, 16) AT_(qiva_callbacks_t, on_after_init, 0)
AT_(qiva_callbacks_t, on_after_shutdown, 8)

// Concurrency primitives and the memory pool.
SIZE_(ve_once_t, 8) AT_(ve_once_t, once_control, 0) AT_(ve_once_t, initialised, 4)
SIZE_(barrier_t, 96) AT_(barrier_t, count, 0) AT_(barrier_t, cond_mutex, 8) AT_(barrier_t, cond, 48)
SIZE_(cyclic_queue_t, 104) AT_(cyclic_queue_t, data, 0) AT_(cyclic_queue_t, size, 8)
AT_(cyclic_queue_t, block_size, 10) AT_(cyclic_queue_t, head, 12) AT_(cyclic_queue_t, tail, 16)
AT_(cyclic_queue_t, head_mutex, 24) AT_(cyclic_queue_t, tail_mutex, 64)
SIZE_(slist_item_t, 8) AT_(slist_item_t, next, 0)
SIZE_(slist_t, 56) AT_(slist_t, head, 0) AT_(slist_t, tail, 8) AT_(slist_t, mutex, 16)
SIZE_(ve_memory_pool_t, 8) AT_(ve_memory_pool_t, dummy, 0)

// Transport records.
SIZE_(transport_module_t, 104) AT_(transport_module_t, name, 0)
AT_(transport_module_t, init_function, 8) AT_(transport_module_t, destroy_function, 16)
AT_(transport_module_t, listen_function, 24) AT_(transport_module_t, connect_function, 32)
AT_(transport_module_t, accept_function, 40) AT_(transport_module_t, close_function, 48)
AT_(transport_module_t, send_function, 56) AT_(transport_module_t, receive_function, 64)
AT_(transport_module_t, dispatch_function, 72) AT_(transport_module_t, setblocking_function, 80)
AT_(transport_module_t, check_address_function, 88) AT_(transport_module_t, next, 96)
SIZE_(transport_instance_t, 56) AT_(transport_instance_t, on_readable, 0)
AT_(transport_instance_t, on_writeable, 8) AT_(transport_instance_t, is_readable, 16)
AT_(transport_instance_t, is_writeable, 24) AT_(transport_instance_t, module, 32)
AT_(transport_instance_t, userdata, 40) AT_(transport_instance_t, internal, 48)
SIZE_(transport_endpoint_t, 168) AT_(transport_endpoint_t, transport, 0)
AT_(transport_endpoint_t, userdata, 8) AT_(transport_endpoint_t, internal, 16)
AT_(transport_endpoint_t, str_addr, 32) AT_(transport_endpoint_t, connect_time, 160)

// Client state: the queue's block, the dispatcher's record and the client record around it.
SIZE_(ve_message_buffer_t, 16) AT_(ve_message_buffer_t, offset, 0)
AT_(ve_message_buffer_t, size, 4) AT_(ve_message_buffer_t, data, 8)
AT_LEAST_(ve_flush_state_t, 64) AT_(ve_flush_state_t, next, 0)
AT_(ve_flush_state_t, remaining, 8) AT_(ve_flush_state_t, condition, 16)
SIZE_(dispatcher_state_t, 65840) AT_(dispatcher_state_t, config_data, 0)
AT_(dispatcher_state_t, register_message, 8) AT_(dispatcher_state_t, statistics_message, 14)
AT_(dispatcher_state_t, heartbeat_message, 24) AT_(dispatcher_state_t, register_buffer, 40)
AT_(dispatcher_state_t, statistics_buffer, 56) AT_(dispatcher_state_t, heartbeat_buffer, 72)
AT_(dispatcher_state_t, event_buffer, 88) AT_(dispatcher_state_t, data_buffer, 104)
AT_(dispatcher_state_t, data_offset, 65640) AT_(dispatcher_state_t, data_consumed, 65644)
AT_(dispatcher_state_t, endpoint, 65648) AT_(dispatcher_state_t, connected, 65816)
AT_(dispatcher_state_t, exited, 65820) AT_(dispatcher_state_t, last_statistics, 65824)
AT_(dispatcher_state_t, last_heartbeat, 65832)
AT_LEAST_(ve_client_data_t, 66128) AT_(ve_client_data_t, memory_pool, 0)
AT_(ve_client_data_t, queue, 8) AT_(ve_client_data_t, data_available, 112)
AT_(ve_client_data_t, dispatcher_thread, 120) AT_(ve_client_data_t, dispatch_mutex, 128)
AT_(ve_client_data_t, dispatch_cond, 168) AT_(ve_client_data_t, transport, 216)
AT_(ve_client_data_t, dispatcher_state, 272) AT_(ve_client_data_t, flush_state, 66112)
AT_(ve_client_data_t, queue_full, 66120) AT_(ve_client_data_t, shutdown, 66124)
AT_LEAST_(ve_config_data_t, 4152 + 66128) AT_(ve_config_data_t, token_init_once, 0)
AT_(ve_config_data_t, token_prefix, 8) AT_(ve_config_data_t, token_fd, 12)
AT_(ve_config_data_t, token_init_error, 16) AT_(ve_config_data_t, counter_init_once, 20)
AT_(ve_config_data_t, counter_init_error, 28) AT_(ve_config_data_t, counter_file, 32)
AT_(ve_config_data_t, counter_path, 36) AT_(ve_config_data_t, counter_address, 4136)
AT_(ve_config_data_t, client_data, 4144)

// clang-format on

}  // namespace

int main() { return 0; }
