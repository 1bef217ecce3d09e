/*
 * Per-configuration client state: the queue of serialised messages, the count of bytes
 * waiting, the dispatcher thread with its mutex and condition, the transport instance, the
 * dispatcher's working state and the list of waiting flushes.
 */
#ifndef VESKA_SRC_CLIENT_DATA_H
#define VESKA_SRC_CLIENT_DATA_H

#include <pthread.h>
#include <time.h>

#include "lib/concurrent/cyclic_queue.h"
#include "lib/concurrent/ve_atomic_linux.h"
#include "lib/transport/transport.h"
#include "lib/vecommon/ve_types.h"
#include "protocol/message_header.h"
#include "src/memory_pool.h"

#ifdef __cplusplus
extern "C" {
#endif

struct ve_config_data_t;

/* One message and how far it has been copied out; the queue's 16-byte block. Complete when
 * offset equals size (an all-zero buffer is complete). */
typedef struct ve_message_buffer_t {
  ve_uint32_t offset;
  ve_uint32_t size;
  void *data; /* a pool handle for events, a plain address for the dispatcher's messages */
} ve_message_buffer_t;

/* One waiting flush, on the flushing thread's stack; listed under dispatch_mutex. */
typedef struct ve_flush_state_t {
  struct ve_flush_state_t *next;
  ve_uint32_t remaining; /* bytes still to be written before this flush is satisfied */
  pthread_cond_t condition;
  /* The client's messages_pushed when the flush began: queued messages numbered below it
   * were pending then, so dropping one of them credits this flush. */
  ve_uint64_t first_later_message;
} ve_flush_state_t;

#define VE_SEND_BUFFER_SIZE 65535u
#define VE_PREFETCH_MESSAGES 64u

/* The dispatcher's working state. connected, exited, data_offset and data_consumed are read
 * by other threads without the dispatcher's help, so every access to them is __atomic. */
typedef struct dispatcher_state_t {
  struct ve_config_data_t *config_data;
  unsigned char register_message[VE_REGISTER_MESSAGE_SIZE];
  unsigned char statistics_message[VE_STATISTICS_MESSAGE_SIZE];
  unsigned char heartbeat_message[VE_HEARTBEAT_MESSAGE_SIZE];
  ve_message_buffer_t register_buffer;
  ve_message_buffer_t statistics_buffer;
  ve_message_buffer_t heartbeat_buffer;
  ve_message_buffer_t event_buffer;
  unsigned char data_buffer[VE_SEND_BUFFER_SIZE];
  ve_uint32_t data_offset;   /* bytes of data_buffer already sent */
  ve_uint32_t data_consumed; /* bytes of data_buffer filled */
  transport_endpoint_t endpoint;
  int connected;
  int exited;
  time_t last_statistics;
  time_t last_heartbeat;
} dispatcher_state_t;

/* The dispatcher's working state beyond its documented record. It lives at the end of the
 * client state, after the documented fields, so that dispatcher_state_t and ve_client_data_t
 * keep the layout outside programs know. */
typedef struct ve_dispatcher_extra_t {
  /* What a lost connection needs to resend the unwritten messages whole and in order. One bit
   * per byte of data_buffer marks where a message begins, another where a control message
   * (registration, statistics, heartbeat) begins: those are dropped from a resend, as every
   * connection arms its own. */
  unsigned char message_starts[(VE_SEND_BUFFER_SIZE + 7) / 8];
  unsigned char control_starts[(VE_SEND_BUFFER_SIZE + 7) / 8];
  /* The written head of an event split across two fillings of data_buffer, whose tail begins
   * the current filling and ends at carry_end (0 until copied); carry_control marks a split
   * control message instead, whose head is not kept. */
  unsigned char carry[VE_SEND_BUFFER_SIZE];
  ve_uint32_t carry_size;
  ve_uint32_t carry_end;
  int carry_control;
  /* After a lost connection with messages to resend: the next connection writes its control
   * messages, then resend_carry bytes of carry, before data_buffer from data_offset on.
   * resend_carry changes under dispatch_mutex (a starting flush counts it as pending). */
  int resend_pending;
  ve_uint32_t resend_carry;
  /* Messages taken from the queue in one go (one taking of its head lock for many events),
   * handed to event_buffer one by one: prefetched[prefetch_next .. prefetch_count-1]. */
  ve_message_buffer_t prefetched[VE_PREFETCH_MESSAGES];
  ve_uint32_t prefetch_next;
  ve_uint32_t prefetch_count;
} ve_dispatcher_extra_t;

typedef struct ve_client_data_t {
  ve_memory_pool_t *memory_pool;
  cyclic_queue_t queue; /* queue_size blocks of one ve_message_buffer_t each */
  /* Bytes waiting that are not yet in the send buffer; low 32 bits used, saturating. */
  volatile ve_atomic_t data_available;
  pthread_t dispatcher_thread;
  pthread_mutex_t dispatch_mutex;
  pthread_cond_t dispatch_cond;
  transport_instance_t transport;
  dispatcher_state_t dispatcher_state;
  ve_flush_state_t *flush_state; /* first waiting flush; guarded by dispatch_mutex */
  int queue_full;                /* only throttles the queue-full message */
  int shutdown;                  /* set when stopping, or when the dispatcher has exited */
  /* Set by the dispatcher while it waits for a short look at the count of waiting bytes
   * instead of a signal; producers then leave the crossing of the threshold to the look. */
  int dispatcher_polling;
  /* Messages ever pushed by the enqueue step; changed and read with the queue's tail_mutex
   * held. A flush notes it so that dropping a message it waits for can credit it. */
  ve_uint64_t messages_pushed;
  ve_dispatcher_extra_t dispatcher_extra;
} ve_client_data_t;

/* Zero-fills and builds the queue, pool and transport from config->server. 0, 21, 24, 25. */
int VE_client_data_init(ve_client_data_t *data, ve_config_t *config);
/* Releases everything, including blocks still queued; the dispatcher must have been joined. */
int VE_client_data_destroy(ve_client_data_t *data);
/* Hands one serialised message (a pool handle of size bytes) to the queue. 0 (the queue owns
 * it, a full queue dropped its oldest), 26 (not active) or 21 (null message). */
int VE_enqueue_message(ve_config_t *config, ve_memory_pool_handle_t message, ve_uint16_t size);
/* Saturating compare-exchange arithmetic on data_available; the increment wakes the
 * dispatcher only when it is not connected or 65535 bytes or more are waiting. */
void VE_increment_data_available(ve_client_data_t *data, ve_uint32_t bytes, int locked,
                                 int signal_condition);
void VE_decrement_data_available(ve_client_data_t *data, ve_uint32_t bytes, int locked);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_SRC_CLIENT_DATA_H */
