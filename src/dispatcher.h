/* The dispatcher thread of one configuration: connects, batches and writes its messages. */
#ifndef VESKA_SRC_DISPATCHER_H
#define VESKA_SRC_DISPATCHER_H

#include "src/config_data.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Thread routine; arg is the ve_config_t*. The result carries an int: 0, 25 or 28. */
void *VE_client_dispatch(void *arg);
/* Connects with retries and arms registration, statistics and heartbeat; 0 or a code. */
int connect_client(ve_config_t *config, dispatcher_state_t *state);
/* The send step: fill the send buffer and write it; 0 or the send error. */
int on_writeable(transport_endpoint_t *endpoint);
ve_message_buffer_t *get_buffer(dispatcher_state_t *state);
/* Arms statistics and heartbeat when due; called with dispatch_mutex held. */
void check_heartbeat(dispatcher_state_t *state, time_t now);
int format_registration(dispatcher_state_t *state);
int format_statistics(dispatcher_state_t *state);
int format_heartbeat(dispatcher_state_t *state);
ve_uint64_t data_is_available(dispatcher_state_t *state);
void increment_flush_states(ve_client_data_t *client, ve_uint32_t bytes);
void decrement_flush_states(ve_client_data_t *client, ve_uint32_t bytes);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_SRC_DISPATCHER_H */
