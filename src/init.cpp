// The lifecycle of configurations: the process-wide registry of active ones, their defaults,
// the callbacks that observe every start and stop, and the public flush. config_mutex
// serialises QIVA_init, QIVA_shutdown and the callback registration; the callbacks run while
// it is held, so they must not call those four operations.
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "lib/concurrent/once.h"
#include "lib/vecommon/ve_inttypes.h"
#include "lib/vecommon/ve_logging.h"
#include "lib/vecommon/ve_types.h"
#include "src/client.h"
#include "src/config_data.h"
#include "types.h"

VE_LOG_FILE("veska");

namespace {

struct qiva_config_list_t {
  qiva_config_list_t *next;
  qiva_config_t *config;
};

struct qiva_callback_list_t {
  qiva_callback_list_t *next;
  qiva_callbacks_t *callbacks;
};

const ve_uint32_t kDefaultConnectTimeout = 30000;
const ve_uint32_t kDefaultRetryInterval = 5000;
const ve_uint16_t kDefaultQueueSize = 1000;

// Active configurations in the order they were started; callbacks newest first.
qiva_config_list_t *configs = nullptr;
qiva_callback_list_t *callback_list = nullptr;
pthread_mutex_t config_mutex = PTHREAD_MUTEX_INITIALIZER;
ve_once_t set_logger_env_once = VE_ONCE_INIT;

// The library's own logger is the default unless the application chose one (an empty value
// counts as a choice).
void _select_logger() { VE_once(&set_logger_env_once, VE_set_logger_env); }

// config_mutex is taken through these two, so that the fork handlers know whether the forking
// thread holds it already (a callback may fork; the lists are consistent while callbacks run).
__thread int config_mutex_held = 0;

int _lock_config() {
  int rc = pthread_mutex_lock(&config_mutex);
  if (rc == 0) config_mutex_held = 1;
  return rc;
}

void _unlock_config() {
  config_mutex_held = 0;
  pthread_mutex_unlock(&config_mutex);
}

// Fork. Before it, config_mutex and every active configuration's locks are taken, so that a
// child never inherits one of them held by a thread that does not exist there; after it both
// sides release them, and the child marks its copies of the configurations inherited. Written
// by the prepare handler, read by the two others, all on the forking thread.
int fork_took_config_mutex = 0;
pthread_once_t fork_handlers_once = PTHREAD_ONCE_INIT;

void _prepare_fork() {
  if (config_mutex_held == 0) {
    pthread_mutex_lock(&config_mutex);
    fork_took_config_mutex = 1;
  }
  for (qiva_config_list_t *node = configs; node != nullptr; node = node->next) {
    VE_config_data_prepare_fork(static_cast<ve_config_data_t *>(node->config->handle));
  }
}

void _after_fork(int child) {
  for (qiva_config_list_t *node = configs; node != nullptr; node = node->next) {
    VE_config_data_after_fork(static_cast<ve_config_data_t *>(node->config->handle), child);
  }
  if (fork_took_config_mutex != 0) {
    fork_took_config_mutex = 0;
    pthread_mutex_unlock(&config_mutex);
  }
}

void _after_fork_in_parent() { _after_fork(0); }
void _after_fork_in_child() { _after_fork(1); }

// Prepare handlers run in the reverse order of registration, so the locks taken first
// (registry, configurations) are registered last: the lock order is config_mutex, then a
// configuration's locks, then token_mutex, then the logging locks.
void _register_fork_handlers() {
  VE_logging_register_fork_handlers();
  VE_token_register_fork_handlers();
  pthread_atfork(_prepare_fork, _after_fork_in_parent, _after_fork_in_child);
}

// Runs before config_mutex is taken: registering waits while another thread forks, and that
// fork's prepare handler may be waiting for config_mutex.
void _setup_fork_handlers() { pthread_once(&fork_handlers_once, _register_fork_handlers); }

void _log_config(const qiva_config_t *config) {
  VE_LOG_ENTER("_log_config");
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "config.server: %s",
               config->server != nullptr ? config->server : VE_DEFAULT_SERVER);
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "config.connect_timeout: %lu",
               static_cast<unsigned long>(config->connect_timeout != 0 ? config->connect_timeout
                                                                       : kDefaultConnectTimeout));
  if (config->connect_retries == 0) {
    VE_LOG_DEBUG(QIVA_LOG_DETAIL, "config.connect_retries: infinite");
  } else {
    VE_LOG_DEBUG(QIVA_LOG_DETAIL, "config.connect_retries: %lu",
                 static_cast<unsigned long>(config->connect_retries));
  }
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "config.connect_retry_interval: %lu",
               static_cast<unsigned long>(config->connect_retry_interval != 0
                                              ? config->connect_retry_interval
                                              : kDefaultRetryInterval));
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "config.handle: %x",
               static_cast<unsigned int>(reinterpret_cast<uintptr_t>(config->handle)));
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "config.token_filename: %s",
               config->token_filename != nullptr ? config->token_filename : "(null)");
  VE_LOG_DEBUG(QIVA_LOG_DETAIL, "config.queue_size: %hu",
               static_cast<unsigned short>(config->queue_size != 0 ? config->queue_size
                                                                   : kDefaultQueueSize));
  VE_RETURN_VOID();
}

void _set_defaults(qiva_config_t *config) {
  if (config->server == nullptr) config->server = VE_DEFAULT_SERVER;
  if (config->connect_timeout == 0) config->connect_timeout = kDefaultConnectTimeout;
  // connect_retries 0 stays 0: retry for ever.
  if (config->connect_retry_interval == 0) config->connect_retry_interval = kDefaultRetryInterval;
  if (config->queue_size == 0) config->queue_size = kDefaultQueueSize;
}

// Starts (or stops) a configuration under config_mutex, then tells every registered observer,
// newest first, how it ended while the mutex is still held.
int _start_or_stop(qiva_config_t *config, bool start) {
  if (_lock_config() != 0) return QIVA_ERR_OSERROR;
  int result = start ? VE_init_(config) : VE_shutdown_(config);
  for (qiva_callback_list_t *node = callback_list; node != nullptr; node = node->next) {
    if (node->callbacks == nullptr) continue;
    void (*callback)(qiva_config_t *, int) =
        start ? node->callbacks->on_after_init : node->callbacks->on_after_shutdown;
    if (callback != nullptr) callback(config, result);
  }
  _unlock_config();
  return result;
}

}  // namespace

extern "C" {

// The inner initialisation, run under config_mutex.
int VE_init_(qiva_config_t *config) {
  VE_LOG_ENTER("VE_init");
  if (config == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  for (qiva_config_list_t *node = configs; node != nullptr; node = node->next) {
    if (node->config == config) {
      VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_VESKA_ALREADY_INITIALISED);
      VE_RETURN(QIVA_ERR_LOGIC);
    }
  }
  auto *node = static_cast<qiva_config_list_t *>(calloc(1, sizeof(qiva_config_list_t)));
  if (node == nullptr) VE_RETURN(QIVA_ERR_NOMEM);
  node->config = config;

  if (VE_DEBUGGING(QIVA_LOG_DETAIL)) _log_config(config);
  _set_defaults(config);

  auto *data = static_cast<ve_config_data_t *>(calloc(1, sizeof(ve_config_data_t)));
  if (data == nullptr) {
    free(node);
    config->handle = nullptr;
    VE_RETURN(QIVA_ERR_NOMEM);
  }
  config->handle = data;
  int result = VE_config_data_init(data, config);
  if (result != 0) {
    free(data);
    free(node);
    config->handle = nullptr;
    VE_RETURN(result);
  }
  result = VE_register_client(config);
  if (result != 0) {
    VE_config_data_destroy(data);
    free(data);
    free(node);
    config->handle = nullptr;
    VE_RETURN(result);
  }

  qiva_config_list_t **tail = &configs;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = node;
  VE_RETURN(0);
}

// The inner shutdown, run under config_mutex.
int VE_shutdown_(qiva_config_t *config) {
  VE_LOG_ENTER("VE_shutdown");
  if (config == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  if (config->handle == nullptr) {
    VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_VESKA_NOT_INITIALISED);
    VE_RETURN(QIVA_ERR_LOGIC);
  }
  qiva_config_list_t **link = &configs;
  while (*link != nullptr && (*link)->config != config) link = &(*link)->next;
  if (*link == nullptr) {
    VE_LOG_MSG(QIVA_LOG_ERROR, QIVA_MSG_VESKA_NOT_INITIALISED);
    VE_RETURN(QIVA_ERR_LOGIC);
  }
  qiva_config_list_t *node = *link;
  *link = node->next;
  free(node);

  auto *data = static_cast<ve_config_data_t *>(config->handle);
  int stopped = VE_unregister_client(config);
  int destroyed = VE_config_data_destroy(data);
  free(data);
  config->handle = nullptr;
  VE_RETURN(stopped != 0 ? stopped : destroyed);
}

int QIVA_init(qiva_config_t *config) {
  _select_logger();
  _setup_fork_handlers();
  return _start_or_stop(config, true);
}

int QIVA_shutdown(qiva_config_t *config) { return _start_or_stop(config, false); }

int QIVA_register_callbacks(qiva_callbacks_t *callbacks) {
  _select_logger();
  _setup_fork_handlers();
  VE_LOG_ENTER("VE_register_callbacks");
  if (_lock_config() != 0) VE_RETURN(QIVA_ERR_OSERROR);
  auto *node = static_cast<qiva_callback_list_t *>(calloc(1, sizeof(qiva_callback_list_t)));
  if (node == nullptr) {
    _unlock_config();
    VE_RETURN(QIVA_ERR_NOMEM);
  }
  node->callbacks = callbacks;
  node->next = callback_list;
  callback_list = node;
  _unlock_config();
  VE_RETURN(0);
}

int QIVA_deregister_callbacks(qiva_callbacks_t *callbacks) {
  _select_logger();
  _setup_fork_handlers();
  VE_LOG_ENTER("VE_deregister_callbacks");
  if (_lock_config() != 0) VE_RETURN(QIVA_ERR_OSERROR);
  int result = 0;
  if (callback_list == nullptr) {
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "No callbacks registered");
    result = QIVA_ERR_LOGIC;
  } else {
    // The newest registration of the record goes first.
    qiva_callback_list_t **link = &callback_list;
    while (*link != nullptr && (*link)->callbacks != callbacks) link = &(*link)->next;
    if (*link == nullptr) {
      VE_LOG_DEBUG(QIVA_LOG_ERROR, "Could not find callbacks");
      result = QIVA_ERR_LOGIC;
    } else {
      qiva_callback_list_t *node = *link;
      *link = node->next;
      free(node);
    }
  }
  _unlock_config();
  VE_RETURN(result);
}

int QIVA_flush(qiva_config_t *config, qiva_time_t *timeout) {
  VE_LOG_ENTER("VE_flush");
  if (config == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  if (config->handle == nullptr) VE_RETURN(QIVA_ERR_LOGIC);
  VE_RETURN(VE_flush_client(config, timeout));
}

}  // extern "C"
