// The private record behind a configuration's handle: token and counter state, then the client
// state. Created and destroyed by the lifecycle under its process-wide lock.
#include "src/config_data.h"

#include <pthread.h>
#include <string.h>

#include "lib/concurrent/once.h"
#include "lib/transport/transport.h"
#include "lib/vecommon/ve_logging.h"
#include "lib/vecommon/ve_types.h"
#include "src/client_data.h"
#include "src/memory_pool-internal.h"
#include "src/memory_pool.h"
#include "types.h"

VE_LOG_FILE("veska");

extern "C" {

int VE_config_data_init(ve_config_data_t *data, ve_config_t *config) {
  VE_LOG_ENTER("VE_config_data_init");
  if (data == nullptr || config == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  memset(data, 0, sizeof *data);
  const ve_once_t once_initial = VE_ONCE_INIT;
  data->token_init_once = once_initial;
  data->counter_init_once = once_initial;
  // Zero is a valid descriptor (standard input); "no file" is -1 for both.
  data->token_fd = -1;
  data->counter_file = -1;
  VE_RETURN(VE_client_data_init(&data->client_data, config));
}

int VE_config_data_destroy(ve_config_data_t *data) {
  VE_LOG_ENTER("VE_config_data_destroy");
  if (data == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  // The token file is opened by the first token of the activation only; closing it is
  // serialised with other configurations' token traffic on the same file.
  VE_token_release(data);
  VE_RETURN(VE_client_data_destroy(&data->client_data));
}

void VE_config_data_prepare_fork(ve_config_data_t *data) {
  ve_client_data_t *client = &data->client_data;
  // The order every path takes them in: the queue's tail_mutex, its head_mutex, then
  // dispatch_mutex (a producer that drops may take dispatch_mutex inside tail_mutex).
  pthread_mutex_lock(&client->queue.tail_mutex);
  pthread_mutex_lock(&client->queue.head_mutex);
  pthread_mutex_lock(&client->dispatch_mutex);
  // Held only around list changes and closes, never while waiting for the locks above.
  TRANSPORT_TCP_fork_lock(&client->transport, 1);
  veska_internal::pool_fork_lock(client->memory_pool, 1);
}

void VE_config_data_after_fork(ve_config_data_t *data, int child) {
  ve_client_data_t *client = &data->client_data;
  veska_internal::pool_fork_lock(client->memory_pool, 0);
  TRANSPORT_TCP_fork_lock(&client->transport, 0);
  if (child != 0) {
    // The parent's dispatcher may be counted as a waiter of this condition, and waiters that
    // do not exist here would never let it be destroyed: start from a fresh one.
    memset(&client->dispatch_cond, 0, sizeof client->dispatch_cond);
    pthread_cond_init(&client->dispatch_cond, nullptr);
    // Flush records live on the stacks of the parent's threads.
    client->flush_state = nullptr;
    // The parent's dispatcher may have been polling; no thread here polls, so producers must
    // signal again.
    __atomic_store_n(&client->dispatcher_polling, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&client->dispatcher_state.exited, 1, __ATOMIC_RELEASE);
    data->inherited = 1;
  }
  pthread_mutex_unlock(&client->dispatch_mutex);
  pthread_mutex_unlock(&client->queue.head_mutex);
  pthread_mutex_unlock(&client->queue.tail_mutex);
}

}  // extern "C"
