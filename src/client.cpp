// Starting and stopping a configuration's dispatcher thread, and waiting until the data that
// is pending when a flush starts has been written. A flush counts bytes, not messages: the
// dispatcher deducts every write from each waiting flush's remaining count.
#include "src/client.h"

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include "lib/transport/transport.h"
#include "lib/vecommon/ve_inttypes.h"
#include "lib/vecommon/ve_logging.h"
#include "lib/vecommon/ve_time.h"
#include "lib/vecommon/ve_types.h"
#include "src/client_data.h"
#include "src/config_data.h"
#include "src/dispatcher.h"
#include "types.h"

VE_LOG_FILE("veska");

namespace {

const long kNanosPerSecond = 1000000000L;

// A time-out whose seconds are below the current time's is a duration from now; any other
// is an absolute wall-clock time.
struct timespec _deadline(const ve_time_t *timeout) {
  qiva_time_t now = {0, 0};
  QIVA_time(&now);
  struct timespec deadline;
  long long seconds;
  long long nanos;
  if (timeout->sec < now.sec) {
    seconds = static_cast<long long>(timeout->sec) + now.sec;
    nanos = (static_cast<long long>(timeout->usec) + now.usec) * 1000;
  } else {
    seconds = timeout->sec;
    nanos = static_cast<long long>(timeout->usec) * 1000;
  }
  // Carry whole seconds; an out-of-range microsecond count must not make the wait fail.
  seconds += nanos / kNanosPerSecond;
  nanos %= kNanosPerSecond;
  deadline.tv_sec = static_cast<time_t>(seconds);
  deadline.tv_nsec = static_cast<long>(nanos);
  return deadline;
}

void _unlink_flush(ve_client_data_t *client, ve_flush_state_t *flush) {
  ve_flush_state_t **link = &client->flush_state;
  while (*link != nullptr && *link != flush) link = &(*link)->next;
  if (*link == nullptr) return;
  // The head is peeked at by the dispatcher without the lock.
  __atomic_store_n(link, flush->next, __ATOMIC_RELAXED);
}

void _append_flush(ve_client_data_t *client, ve_flush_state_t *flush) {
  ve_flush_state_t **link = &client->flush_state;
  while (*link != nullptr) link = &(*link)->next;
  __atomic_store_n(link, flush, __ATOMIC_RELAXED);
}

}  // namespace

extern "C" {

int VE_flush_client(ve_config_t *config, ve_time_t *timeout) {
  VE_LOG_ENTER("VE_flush_client");
  if (config == nullptr || config->handle == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  auto *data = static_cast<ve_config_data_t *>(config->handle);
  ve_client_data_t *client = &data->client_data;
  dispatcher_state_t *state = &client->dispatcher_state;

  // A child's copy of a configuration started before fork has no dispatcher: nothing it
  // holds can ever be written from this process, which is not a success.
  if (data->inherited != 0) {
    VE_LOG_DEBUG(QIVA_LOG_DETAIL, "VE_flush_client called in a child process: nothing is sent");
    VE_RETURN(QIVA_ERR_LOGIC);
  }
  if (__atomic_load_n(&state->exited, __ATOMIC_ACQUIRE) != 0) {
    VE_LOG_DEBUG(QIVA_LOG_DETAIL, "VE_flush_client called after dispatcher exited");
    VE_RETURN(0);
  }
  // The queue's tail_mutex first (the order producers take the two in): no push is half
  // counted while the pending bytes are read, and a dropped message can be told to be older
  // or newer than this flush.
  if (pthread_mutex_lock(&client->queue.tail_mutex) != 0) VE_RETURN(QIVA_ERR_OSERROR);
  if (pthread_mutex_lock(&client->dispatch_mutex) != 0) {
    pthread_mutex_unlock(&client->queue.tail_mutex);
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  if (__atomic_load_n(&state->exited, __ATOMIC_ACQUIRE) != 0 || data_is_available(state) == 0) {
    pthread_mutex_unlock(&client->dispatch_mutex);
    pthread_mutex_unlock(&client->queue.tail_mutex);
    VE_RETURN(0);
  }
  struct timespec deadline = {0, 0};
  if (timeout != nullptr) deadline = _deadline(timeout);

  ve_flush_state_t flush;
  memset(&flush, 0, sizeof flush);
  if (pthread_cond_init(&flush.condition, nullptr) != 0) {
    pthread_mutex_unlock(&client->dispatch_mutex);
    pthread_mutex_unlock(&client->queue.tail_mutex);
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  // The dispatcher changes the counter, data_consumed and data_offset together under this
  // mutex, so the three agree here. 32-bit arithmetic, as the counter is kept in 32 bits.
  flush.remaining =
      static_cast<ve_uint32_t>(__atomic_load_n(&client->data_available, __ATOMIC_ACQUIRE)) +
      __atomic_load_n(&state->data_consumed, __ATOMIC_RELAXED) -
      __atomic_load_n(&state->data_offset, __ATOMIC_RELAXED) +
      client->dispatcher_extra.resend_carry;
  flush.first_later_message = client->messages_pushed;
  _append_flush(client, &flush);
  pthread_mutex_unlock(&client->queue.tail_mutex);
  // A waiting flush makes the dispatcher write at once instead of batching.
  pthread_cond_signal(&client->dispatch_cond);

  int result = 0;
  while (__atomic_load_n(&state->exited, __ATOMIC_ACQUIRE) == 0 && result == 0 &&
         flush.remaining != 0) {
    int waited = timeout != nullptr
                     ? pthread_cond_timedwait(&flush.condition, &client->dispatch_mutex, &deadline)
                     : pthread_cond_wait(&flush.condition, &client->dispatch_mutex);
    if (waited != 0) {
      VE_LOG_DEBUG(QIVA_LOG_ERROR, "pthread_cond_wait failed (%d), remaining: %u", waited,
                   flush.remaining);
      result = waited == ETIMEDOUT ? QIVA_ERR_TIMEDOUT : QIVA_ERR_OSERROR;
    }
  }
  _unlink_flush(client, &flush);
  pthread_cond_destroy(&flush.condition);
  pthread_mutex_unlock(&client->dispatch_mutex);
  VE_RETURN(result);
}

int VE_register_client(ve_config_t *config) {
  VE_LOG_ENTER("VE_register_client");
  if (config == nullptr || config->handle == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  ve_client_data_t *client = &static_cast<ve_config_data_t *>(config->handle)->client_data;
  if (pthread_create(&client->dispatcher_thread, nullptr, VE_client_dispatch, config) != 0) {
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "Failed to create VE_client_dispatch thread");
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  VE_RETURN(0);
}

int VE_unregister_client(ve_config_t *config) {
  VE_LOG_ENTER("VE_unregister_client");
  if (config == nullptr || config->handle == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  auto *data = static_cast<ve_config_data_t *>(config->handle);
  ve_client_data_t *client = &data->client_data;
  // No lock: the dispatcher sees the flag at its next decision, at the latest when its
  // current one-second wait ends.
  __atomic_store_n(&client->shutdown, 1, __ATOMIC_RELEASE);
  if (data->inherited != 0) {
    // A child's copy: the dispatcher thread is the parent's. Close this process's descriptor
    // of the parent's connection (the parent's stays open) and release the rest unsent.
    dispatcher_state_t *state = &client->dispatcher_state;
    if (__atomic_load_n(&state->connected, __ATOMIC_ACQUIRE) != 0) {
      TRANSPORT_close(&state->endpoint);
      __atomic_store_n(&state->connected, 0, __ATOMIC_RELEASE);
    }
    VE_RETURN(0);
  }
  VE_flush_client(config, nullptr);
  void *thread_result = nullptr;
  if (pthread_join(client->dispatcher_thread, &thread_result) != 0) VE_RETURN(QIVA_ERR_OSERROR);
  VE_RETURN(static_cast<int>(reinterpret_cast<intptr_t>(thread_result)));
}

}  // extern "C"
