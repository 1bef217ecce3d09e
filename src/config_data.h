/* The library's private state of one configuration, stored in qiva_config_t.handle. */
#ifndef VESKA_SRC_CONFIG_DATA_H
#define VESKA_SRC_CONFIG_DATA_H

#include "lib/concurrent/once.h"
#include "lib/vecommon/ve_flock.h"
#include "src/client_data.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VE_COUNTER_PATH_SIZE 4096

typedef struct ve_config_data_t {
  /* Token state, read from the token file on the first QIVA_token of an activation. */
  ve_once_t token_init_once;
  ve_uint32_t token_prefix; /* already shifted into bits 31 to 24 */
  ve_flock_fd_t token_fd;   /* -1 when the open failed */
  int token_init_error;
  /* The shared counter, mapped from the token file's ".ctr" companion. */
  ve_once_t counter_init_once;
  int counter_init_error;
  ve_flock_fd_t counter_file;
  char counter_path[VE_COUNTER_PATH_SIZE];
  ve_uint32_t *counter_address; /* null until mapped */
  ve_client_data_t client_data;
  /* 1 in a child process whose copy of the configuration came through fork: there is no
   * dispatcher for it in this process. Set by the fork handlers. */
  int inherited;
} ve_config_data_t;

/* Zero-fills, resets both once-guards, then builds the client state. */
int VE_config_data_init(ve_config_data_t *data, ve_config_t *config);
/* Closes the token file and the counter, then destroys the client state. The caller frees
 * the record. */
int VE_config_data_destroy(ve_config_data_t *data);
/* Unmaps the counter and closes its file; 0, or 25. */
int QIVA_shared_counter_release(ve_config_data_t *data);
/* Closes the token file and releases the counter of one activation, inside the section that
 * keeps token traffic of this process apart; 0, 21 or 25. */
int VE_token_release(ve_config_data_t *data);
/* Registers token_mutex's fork handlers once per process. */
void VE_token_register_fork_handlers(void);

/* Fork support, called by the configuration registry's fork handlers with the registry lock
 * held. prepare takes the configuration's queue locks (tail, head), its dispatch lock, then
 * its transport's endpoint lock; after_fork releases them. In the child (child non-zero), which has
 * no dispatcher thread for this configuration, the dispatch condition is made anew (the parent's
 * dispatcher may wait on it), the waiting flushes of the parent's threads are forgotten, the
 * dispatcher counts as exited and the record as inherited: events are still queued (the oldest
 * dropped when full), a flush returns 26 at once and a shutdown releases the state without waiting.
 */
void VE_config_data_prepare_fork(ve_config_data_t *data);
void VE_config_data_after_fork(ve_config_data_t *data, int child);

/* The counter's value before its increment; the caller holds the token file's lock. */
int QIVA_shared_counter_increment(ve_config_t *config, ve_uint32_t *counter);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_SRC_CONFIG_DATA_H */
