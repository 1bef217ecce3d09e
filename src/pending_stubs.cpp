// Weak placeholders for interface functions whose implementations have not landed yet.
// A real (strong) definition anywhere in the library overrides its placeholder at link time.
// Every placeholder reports QIVA_ERR_NOTIMPL (or null / nothing). This file goes away once
// every function has its implementation.
#include "private_api.h"

#define VE_PENDING __attribute__((weak))

extern "C" {

VE_PENDING int barrier_init(barrier_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int barrier_wait(barrier_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int barrier_destroy(barrier_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int CCQ_init(cyclic_queue_t *, ve_uint16_t, ve_uint16_t) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int CCQ_destroy(cyclic_queue_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int CCQ_push(cyclic_queue_t *, const void *, void *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING void *CCQ_pop(cyclic_queue_t *, void *) { return nullptr; }
VE_PENDING void *CCQ_peek(cyclic_queue_t *) { return nullptr; }
VE_PENDING int CCQ_empty(cyclic_queue_t *) { return 1; }
VE_PENDING int CCQ_full(cyclic_queue_t *) { return 0; }
VE_PENDING int CSLIST_init(slist_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int CSLIST_destroy(slist_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int CSLIST_push(slist_t *, slist_item_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING slist_item_t *CSLIST_pop(slist_t *) { return nullptr; }
VE_PENDING slist_item_t *CSLIST_peek(slist_t *) { return nullptr; }
VE_PENDING int CSLIST_empty(slist_t *) { return 1; }
VE_PENDING ve_atomic_t VE_atomic_compare_exchange(volatile ve_atomic_t *addr, ve_atomic_t exchange,
                                                  ve_atomic_t comparand) {
  return __sync_val_compare_and_swap(addr, comparand, exchange);
}
VE_PENDING int VE_memory_pool_init(ve_memory_pool_t **, ve_uint16_t) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int VE_memory_pool_destroy(ve_memory_pool_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING ve_memory_pool_handle_t VE_memory_pool_alloc(ve_memory_pool_t *, ve_uint16_t) {
  return nullptr;
}
VE_PENDING void VE_memory_pool_free(ve_memory_pool_t *, ve_memory_pool_handle_t) {}
VE_PENDING void *VE_memory_pool_data(ve_memory_pool_t *, ve_memory_pool_handle_t) { return nullptr; }

VE_PENDING void VE_pack_uint16(ve_uint16_t, unsigned char *) {}
VE_PENDING void VE_pack_uint32(ve_uint32_t, unsigned char *) {}
VE_PENDING void VE_pack_uint64(ve_uint64_t, unsigned char *) {}
VE_PENDING void VE_pack_uint(ve_uint64_t, ve_uint8_t, unsigned char *) {}
VE_PENDING ve_uint16_t VE_unpack_uint16(const unsigned char *) { return 0; }
VE_PENDING ve_uint32_t VE_unpack_uint32(const unsigned char *) { return 0; }
VE_PENDING ve_uint64_t VE_unpack_uint64(const unsigned char *) { return 0; }
VE_PENDING ve_uint64_t VE_unpack_uint(const unsigned char *, ve_uint8_t) { return 0; }
VE_PENDING int VE_serialise_message_header(unsigned char *, ve_message_type, ve_uint16_t,
                                           ve_uint8_t) {
  return QIVA_ERR_NOTIMPL;
}
VE_PENDING void VE_statistics_counter_increment(ve_counter_type) {}
VE_PENDING void VE_statistics_counter_decrement(ve_counter_type) {}
VE_PENDING void VE_statistics_counter_reset(ve_counter_type) {}
VE_PENDING ve_uint32_t VE_statistics_counter_get(ve_counter_type) { return 0; }
VE_PENDING int VE_serialise_statistics_message(unsigned char *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int VE_serialise_register_message(unsigned char *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int VE_serialise_heartbeat_message(unsigned char *, const ve_time_t *) {
  return QIVA_ERR_NOTIMPL;
}
VE_PENDING ve_uint16_t VE_calculate_event_message_size(const qiva_event_t *) { return 0xFFFF; }
VE_PENDING int VE_serialise_event_message(const qiva_event_t *, unsigned char *, ve_uint16_t) {
  return QIVA_ERR_NOTIMPL;
}

VE_PENDING transport_module_t tcp_transport_module = {};
VE_PENDING transport_module_t null_transport_module = {};
VE_PENDING transport_module_t ssn_transport_module = {};
VE_PENDING transport_module_t *TRANSPORT_lookup(const char *) { return nullptr; }
VE_PENDING void TRANSPORT_register_transports(void) {}
VE_PENDING int TRANSPORT_init(transport_instance_t *, const char *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int TRANSPORT_destroy(transport_instance_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int TRANSPORT_connect_timeout(transport_instance_t *, transport_endpoint_t *,
                                         const char *, const struct timeval *) {
  return QIVA_ERR_NOTIMPL;
}
VE_PENDING int TRANSPORT_connect(transport_instance_t *, transport_endpoint_t *, const char *) {
  return QIVA_ERR_NOTIMPL;
}
VE_PENDING int TRANSPORT_listen(transport_instance_t *, transport_endpoint_t *, const char *) {
  return QIVA_ERR_NOTIMPL;
}
VE_PENDING int TRANSPORT_accept(transport_endpoint_t *, transport_endpoint_t *) {
  return QIVA_ERR_NOTIMPL;
}
VE_PENDING int TRANSPORT_send(transport_endpoint_t *, const char *, uint32_t *) {
  return QIVA_ERR_NOTIMPL;
}
VE_PENDING int TRANSPORT_receive(transport_endpoint_t *, char *, uint32_t *) {
  return QIVA_ERR_NOTIMPL;
}
VE_PENDING int TRANSPORT_close(transport_endpoint_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int TRANSPORT_set_blocking(transport_endpoint_t *, int) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int TRANSPORT_dispatch(transport_instance_t *, ve_time_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int TRANSPORT_check_address(const char *, const char *) { return QIVA_ERR_NOTIMPL; }

VE_PENDING qiva_time_t *QIVA_time(qiva_time_t *t) {
  struct timeval now;
  if (gettimeofday(&now, nullptr) == 0) {
    t->sec = static_cast<ve_uint32_t>(now.tv_sec);
    t->usec = static_cast<ve_uint32_t>(now.tv_usec);
  }
  return t;
}
VE_PENDING void QIVA_process_times(qiva_time_t *, qiva_time_t *) {}
VE_PENDING void qiva_msleep(ve_uint64_t) {}
VE_PENDING int QIVA_flock_open(const char *, ve_flock_fd_t *out) {
  if (out) *out = -1;
  return QIVA_ERR_NOTIMPL;
}
VE_PENDING int QIVA_flock_close(ve_flock_fd_t) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int QIVA_flock_acquire(ve_flock_fd_t) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int QIVA_flock_release(ve_flock_fd_t) { return QIVA_ERR_NOTIMPL; }
VE_PENDING void *QIVA_dlopen(const char *) { return nullptr; }
VE_PENDING void QIVA_dlclose(void *) {}
VE_PENDING void *QIVA_dlsym(void *, const char *) { return nullptr; }
VE_PENDING char *QIVA_dlerror(char *buffer, int size) {
  if (buffer && size > 0) buffer[0] = '\0';
  return buffer;
}
VE_PENDING int QIVA_hostname(char *, size_t) { return QIVA_ERR_NOTIMPL; }
VE_PENDING void kemb00(kemb_values_t **values) {
  if (values) *values = nullptr;
}

VE_PENDING int VE_client_data_init(ve_client_data_t *, ve_config_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int VE_client_data_destroy(ve_client_data_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int VE_enqueue_message(ve_config_t *, ve_memory_pool_handle_t, ve_uint16_t) {
  return QIVA_ERR_NOTIMPL;
}
VE_PENDING void VE_increment_data_available(ve_client_data_t *, ve_uint32_t, int, int) {}
VE_PENDING void VE_decrement_data_available(ve_client_data_t *, ve_uint32_t, int) {}
VE_PENDING int VE_config_data_init(ve_config_data_t *, ve_config_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int VE_config_data_destroy(ve_config_data_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int QIVA_shared_counter_release(ve_config_data_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int QIVA_shared_counter_increment(ve_config_t *, ve_uint32_t *) {
  return QIVA_ERR_NOTIMPL;
}
VE_PENDING void *VE_client_dispatch(void *) { return nullptr; }
VE_PENDING int connect_client(ve_config_t *, dispatcher_state_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int on_writeable(transport_endpoint_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING ve_message_buffer_t *get_buffer(dispatcher_state_t *) { return nullptr; }
VE_PENDING void check_heartbeat(dispatcher_state_t *, time_t) {}
VE_PENDING int format_registration(dispatcher_state_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int format_statistics(dispatcher_state_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int format_heartbeat(dispatcher_state_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING ve_uint64_t data_is_available(dispatcher_state_t *) { return 0; }
VE_PENDING void increment_flush_states(ve_client_data_t *, ve_uint32_t) {}
VE_PENDING void decrement_flush_states(ve_client_data_t *, ve_uint32_t) {}
VE_PENDING int VE_flush_client(ve_config_t *, ve_time_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int VE_register_client(ve_config_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int VE_unregister_client(ve_config_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int VE_preprocess_event(const qiva_event_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int VE_common_context(qiva_values_list_t *, ve_uint32_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int is_item_printable(const qiva_values_list_t *) { return 0; }

VE_PENDING int QIVA_init(qiva_config_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int QIVA_shutdown(qiva_config_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int QIVA_flush(qiva_config_t *, qiva_time_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int QIVA_register_callbacks(qiva_callbacks_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int QIVA_deregister_callbacks(qiva_callbacks_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int QIVA_track(qiva_config_t *, qiva_event_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int QIVA_token(qiva_config_t *, qiva_int32_t *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING int QIVA_check_address(const char *, const char *) { return QIVA_ERR_NOTIMPL; }
VE_PENDING void QIVA_log_ve_event(const qiva_event_t *) {}

}  // extern "C"
