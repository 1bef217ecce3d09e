// The client state of one configuration: its queue of serialised messages, the lock-free count
// of bytes waiting, the dispatcher's mutex and condition, and the transport it sends through.
// Application threads enqueue here; the dispatcher thread is the queue's only consumer.
#include "src/client_data.h"

#include <pthread.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "lib/concurrent/cyclic_queue-internal.h"
#include "lib/concurrent/cyclic_queue.h"
#include "lib/concurrent/mutex_guard.h"
#include "lib/concurrent/ve_atomic_linux.h"
#include "lib/transport/transport.h"
#include "lib/vecommon/ve_inttypes.h"
#include "lib/vecommon/ve_logging.h"
#include "lib/vecommon/ve_types.h"
#include "src/config_data.h"
#include "src/memory_pool-internal.h"
#include "src/memory_pool.h"
#include "src/statistics.h"
#include "types.h"

VE_LOG_FILE("veska");

// The queue copies messages in and out by value as 16-byte blocks.
static_assert(sizeof(ve_message_buffer_t) == 16, "a message buffer is one 16-byte queue block");
static_assert(offsetof(ve_message_buffer_t, offset) == 0, "message buffer layout");
static_assert(offsetof(ve_message_buffer_t, size) == 4, "message buffer layout");
static_assert(offsetof(ve_message_buffer_t, data) == 8, "message buffer layout");

namespace {

const ve_atomic_t kCounterMax = 0xFFFFFFFFu;

inline ve_atomic_t _load_counter(ve_client_data_t *data) {
  return __atomic_load_n(&data->data_available, __ATOMIC_ACQUIRE);
}

// Splits "transport:address" at its first colon, checks the address with the named transport
// and initialises the transport instance for it.
int initialise_transport(ve_client_data_t *data, const char *server) {
  VE_LOG_ENTER("initialise_transport");
  size_t name_length = 0;
  const char *address = TRANSPORT_split_server(server, &name_length);
  if (address == nullptr || name_length == 0) {
    VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_VESKA_ADDRESS_MISSING_COLON,
               server != nullptr ? server : "(null)");
    VE_RETURN(QIVA_ERR_INVALID);
  }
  char *name = strndup(server, name_length);
  if (name == nullptr) VE_RETURN(QIVA_ERR_NOMEM);
  int result = QIVA_check_address(name, address);
  if (result == 0) result = TRANSPORT_init(&data->transport, name);
  free(name);
  VE_RETURN(result);
}

ve_atomic_t _add_to_counter(ve_client_data_t *data, ve_uint32_t add, ve_uint32_t subtract,
                            ve_atomic_t *before);

// One push and what it changes in the count of waiting bytes.
struct _push_context_t {
  ve_client_data_t *client;
  ve_message_buffer_t item;
  ve_message_buffer_t old_item;  // the dropped message, when the ring was full
  ve_atomic_t before;            // the counter before and after this push
  ve_atomic_t after;
};

// Runs with the queue's tail_mutex held, before the new message is published: the dispatcher
// can only copy (and take off the counter) bytes that were counted first, so the counter
// never drifts. A flush starts with tail_mutex held too, so it sees each push either whole
// or not at all.
void _count_push(void *arg, int dropped) {
  auto *push = static_cast<_push_context_t *>(arg);
  ve_client_data_t *client = push->client;
  const ve_uint64_t number = client->messages_pushed;
  if (dropped == 0) {
    push->after = _add_to_counter(client, push->item.size, 0, &push->before);
    return;
  }
  // The dropped message was counted when it was queued: only the difference changes.
  push->after = _add_to_counter(client, push->item.size, push->old_item.size, &push->before);
  // It will never be written: flushes that were waiting for it stop counting it. The ring
  // was full, so the dropped message is number `number` minus the capacity.
  if (client->flush_state == nullptr) return;
  const ve_uint64_t dropped_number = number - client->queue.size;
  MutexGuard guard(&client->dispatch_mutex);
  if (!guard.locked()) return;
  for (ve_flush_state_t *flush = client->flush_state; flush != nullptr; flush = flush->next) {
    if (dropped_number >= flush->first_later_message) continue;
    if (push->old_item.size < flush->remaining) {
      flush->remaining -= push->old_item.size;
    } else {
      flush->remaining = 0;
      pthread_cond_signal(&flush->condition);
    }
  }
}

// VE_atomic_compare_exchange, inlined: every enqueue runs it, and the exported one is a call
// through the library's symbol table. The same full-barrier exchange, the same result.
inline ve_atomic_t _compare_exchange(volatile ve_atomic_t *addr, ve_atomic_t exchange,
                                     ve_atomic_t comparand) {
  ve_atomic_t previous = comparand;
  __atomic_compare_exchange_n(addr, &previous, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return previous;
}

// Saturating arithmetic in one compare-exchange: the counter stays within 0 .. 0xFFFFFFFF.
ve_atomic_t _add_to_counter(ve_client_data_t *data, ve_uint32_t add, ve_uint32_t subtract,
                            ve_atomic_t *before) {
  ve_atomic_t old_value = _load_counter(data);
  for (;;) {
    ve_atomic_t sum = (old_value & kCounterMax) + add;
    if (sum > kCounterMax) sum = kCounterMax;
    ve_atomic_t new_value = subtract > sum ? 0 : sum - subtract;
    ve_atomic_t seen = _compare_exchange(&data->data_available, new_value, old_value);
    if (seen == old_value) {
      *before = old_value & kCounterMax;
      return new_value;
    }
    old_value = seen;
  }
}

// An unconnected dispatcher is woken by every increment (the first byte starts the
// connection); a connected one only when the count of waiting bytes crosses a full send
// buffer. It decides under dispatch_mutex and re-tests the count before every wait, so one
// signal per crossing is enough and producers leave the mutex alone while it sends.
void _wake_dispatcher(ve_client_data_t *data, ve_atomic_t before, ve_atomic_t after, int locked) {
  // connected is stored with release by the dispatcher once the connection is usable.
  int connected = __atomic_load_n(&data->dispatcher_state.connected, __ATOMIC_ACQUIRE);
  if (connected != 0 && !(before < VE_SEND_BUFFER_SIZE && after >= VE_SEND_BUFFER_SIZE)) return;
  // A polling dispatcher sees the crossing at its next look (the increment came first).
  if (connected != 0 && __atomic_load_n(&data->dispatcher_polling, __ATOMIC_SEQ_CST) != 0) return;
  if (locked != 0) {
    pthread_cond_signal(&data->dispatch_cond);
    return;
  }
  // The count was raised before this point, so taking and releasing the mutex is enough to
  // know the dispatcher is either past its re-test or inside its wait. The signal itself goes
  // after the release: woken while the mutex was still held, the dispatcher would only block
  // on it again, and the producer would pay for both hand-overs.
  {
    MutexGuard guard(&data->dispatch_mutex);
    if (!guard.locked()) return;
  }
  pthread_cond_signal(&data->dispatch_cond);
}

}  // namespace

extern "C" {

int VE_client_data_init(ve_client_data_t *data, ve_config_t *config) {
  VE_LOG_ENTER("VE_client_data_init");
  if (data == nullptr || config == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  memset(data, 0, sizeof *data);
  // A zero capacity would make the ring's index arithmetic divide by zero; the lifecycle
  // replaces 0 by the default before it gets here.
  if (config->queue_size == 0) VE_RETURN(QIVA_ERR_INVALID);
  if (pthread_mutex_init(&data->dispatch_mutex, nullptr) != 0) VE_RETURN(QIVA_ERR_OSERROR);
  if (pthread_cond_init(&data->dispatch_cond, nullptr) != 0) {
    pthread_mutex_destroy(&data->dispatch_mutex);
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  if (CCQ_init(&data->queue, config->queue_size, sizeof(ve_message_buffer_t)) != 0) {
    pthread_cond_destroy(&data->dispatch_cond);
    pthread_mutex_destroy(&data->dispatch_mutex);
    VE_RETURN(QIVA_ERR_NOMEM);
  }
  // The client's own pool: events are allocated on application threads and freed on the
  // dispatcher's, which the process heap handles badly.
  int result = VE_memory_pool_create(&data->memory_pool, config->queue_size);
  if (result == 0) {
    data->dispatcher_state.config_data = static_cast<ve_config_data_t *>(config->handle);
    result = initialise_transport(data, config->server);
  }
  if (result != 0) {
    // Undo everything this call made, so that the caller only has to free the record.
    if (data->memory_pool != nullptr) VE_memory_pool_destroy(data->memory_pool);
    data->memory_pool = nullptr;
    CCQ_destroy(&data->queue);
    pthread_cond_destroy(&data->dispatch_cond);
    pthread_mutex_destroy(&data->dispatch_mutex);
  }
  VE_RETURN(result);
}

int VE_client_data_destroy(ve_client_data_t *data) {
  VE_LOG_ENTER("VE_client_data_destroy");
  if (data == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  pthread_mutex_destroy(&data->dispatch_mutex);
  pthread_cond_destroy(&data->dispatch_cond);
  ve_message_buffer_t item;
  while (CCQ_pop(&data->queue, &item) != nullptr) {
    veska_internal::pool_free(data->memory_pool, item.data);
  }
  // An event taken from the queue but not completely copied out still owns its block (a
  // complete one was released by the dispatcher when its last byte was copied).
  ve_message_buffer_t *event = &data->dispatcher_state.event_buffer;
  if (event->offset < event->size && event->data != nullptr) {
    veska_internal::pool_free(data->memory_pool, event->data);
  }
  memset(event, 0, sizeof *event);
  ve_dispatcher_extra_t *extra = &data->dispatcher_extra;
  for (ve_uint32_t i = extra->prefetch_next; i < extra->prefetch_count; ++i) {
    veska_internal::pool_free(data->memory_pool, extra->prefetched[i].data);
  }
  extra->prefetch_next = 0;
  extra->prefetch_count = 0;
  CCQ_destroy(&data->queue);
  int result = 0;
  if (data->memory_pool != nullptr) result = VE_memory_pool_destroy(data->memory_pool);
  data->memory_pool = nullptr;
  if (data->transport.module != nullptr) result = TRANSPORT_destroy(&data->transport);
  data->transport.module = nullptr;
  VE_RETURN(result);
}

int VE_enqueue_message(ve_config_t *config, ve_memory_pool_handle_t message, ve_uint16_t size) {
  VE_LOG_ENTER("VE_enqueue_message");
  if (config == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  if (config->handle == nullptr) {
    VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_VESKA_NOT_INITIALISED);
    VE_RETURN(QIVA_ERR_LOGIC);
  }
  if (message == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  ve_client_data_t *client = &static_cast<ve_config_data_t *>(config->handle)->client_data;

  _push_context_t push;
  push.client = client;
  push.item = {0, size, message};
  push.old_item = {0, 0, nullptr};
  int result = veska_internal::ccq_push_counted(&client->queue, &push.item, &push.old_item,
                                                &client->messages_pushed, _count_push, &push);
  if (result != 0) VE_RETURN(result);

  if (push.old_item.data != nullptr) {
    // The ring was full and gave up its oldest message to make room. The flag only throttles
    // the message; a race on it changes how often the line appears, nothing else.
    if (__atomic_load_n(&client->queue_full, __ATOMIC_RELAXED) == 0) {
      VE_LOG_MSG(QIVA_LOG_DETAIL, QIVA_MSG_VESKA_QUEUE_EXCEEDED,
                 static_cast<unsigned int>(client->queue.size));
      __atomic_store_n(&client->queue_full, 1, __ATOMIC_RELAXED);
    }
    VE_statistics_counter_increment(VE_STATS_EVENTS_DROPPED);
    veska_internal::pool_free(client->memory_pool, push.old_item.data);
  } else if (__atomic_load_n(&client->queue_full, __ATOMIC_RELAXED) != 0) {
    __atomic_store_n(&client->queue_full, 0, __ATOMIC_RELAXED);
  }
  _wake_dispatcher(client, push.before, push.after, 0);
  VE_RETURN(0);
}

void VE_increment_data_available(ve_client_data_t *data, ve_uint32_t bytes, int locked,
                                 int signal_condition) {
  ve_atomic_t before = 0;
  ve_atomic_t after = _add_to_counter(data, bytes, 0, &before);
  if (signal_condition != 0) _wake_dispatcher(data, before, after, locked);
}

void VE_decrement_data_available(ve_client_data_t *data, ve_uint32_t bytes, int locked) {
  (void)locked;  // the counter is lock-free; decrements never signal
  ve_atomic_t old_value = _load_counter(data);
  for (;;) {
    ve_atomic_t current = old_value & kCounterMax;
    ve_atomic_t new_value = bytes > current ? 0 : current - bytes;
    ve_atomic_t seen = _compare_exchange(&data->data_available, new_value, old_value);
    if (seen == old_value) break;
    old_value = seen;
  }
}

}  // extern "C"
