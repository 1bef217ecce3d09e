// Tokens: a prefix read once per activation from the token file, OR-ed with the next value of
// the counter shared through the token file's ".ctr" companion.
//
// The record lock on the token file keeps processes apart, but record locks belong to the
// process: two threads (or two configurations naming the same file) of one process would both
// be granted it at once. token_mutex therefore serialises the lock-increment-unlock section
// inside the process. It also covers the reading of the token file, because closing any
// descriptor of a file drops every record lock this process holds on it: a first QIVA_token
// of a second configuration must not close its text stream in the middle of another section.
#include <ctype.h>
#include <pthread.h>
#include <stdio.h>

#include "lib/concurrent/mutex_guard.h"
#include "lib/concurrent/once.h"
#include "lib/vecommon/ve_flock.h"
#include "lib/vecommon/ve_inttypes.h"
#include "lib/vecommon/ve_logging.h"
#include "lib/vecommon/ve_types.h"
#include "src/config_data.h"
#include "types.h"

VE_LOG_FILE("veska");

namespace {

pthread_mutex_t token_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t atfork_once = PTHREAD_ONCE_INIT;

// A child must not inherit token_mutex held by a thread that does not exist in it: fork waits
// for a section in progress to end, and both sides continue with the mutex free.
void _token_prepare_fork() { pthread_mutex_lock(&token_mutex); }
void _token_after_fork() { pthread_mutex_unlock(&token_mutex); }
// The first token of an activation logs while it holds token_mutex, and logging may take the
// logger's selection lock then. Fork preparations run newest first, so the logging handlers are
// registered before these whoever comes first: a fork then takes token_mutex before the
// selection lock too, in the same order, and cannot deadlock against a first token.
void _register_fork_handlers() {
  VE_logging_register_fork_handlers();
  pthread_atfork(_token_prepare_fork, _token_after_fork, _token_after_fork);
}

// Reads one unsigned decimal number after optional white space (a '+' sign is accepted, as a
// formatted read would). Returns 0 and the value, saturated above 255, or 21 without digits.
int _read_prefix(FILE *file, unsigned int *prefix) {
  int c = fgetc(file);
  while (c != EOF && isspace(c)) c = fgetc(file);
  if (c == '+') c = fgetc(file);
  if (c == EOF || !isdigit(c)) return QIVA_ERR_INVALID;
  unsigned int value = 0;
  for (; c != EOF && isdigit(c); c = fgetc(file)) {
    if (value <= 255) value = value * 10 + static_cast<unsigned int>(c - '0');
  }
  *prefix = value;
  return QIVA_SUCCESS;
}

int _init_token_locked(ve_config_t *config, ve_config_data_t *data) {
  VE_LOG_ENTER("_init_token");
  int rc = QIVA_flock_open(config->token_filename, &data->token_fd);
  if (rc != 0) VE_RETURN(rc);
  // The lock descriptor stays open whatever follows; shutdown closes it.
  FILE *file = fopen(config->token_filename, "re");
  if (file == nullptr) {
    char text[512];
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "cannot read token file %s: %s", config->token_filename,
                 QIVA_last_system_error(text, sizeof text));
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  unsigned int prefix = 0;
  rc = _read_prefix(file, &prefix);
  fclose(file);
  if (rc == 0 && prefix > 255) rc = QIVA_ERR_INVALID;
  if (rc != 0) {
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "token file %s holds no prefix from 0 to 255",
                 config->token_filename);
    VE_RETURN(rc);
  }
  data->token_prefix = static_cast<ve_uint32_t>(prefix) << 24;
  VE_RETURN(QIVA_SUCCESS);
}

// Runs under token_init_once; its outcome is final for the activation.
void _init_token(void *arg) {
  auto *config = static_cast<ve_config_t *>(arg);
  auto *data = static_cast<ve_config_data_t *>(config->handle);
  MutexGuard guard(&token_mutex);
  data->token_init_error = guard.locked() ? _init_token_locked(config, data) : QIVA_ERR_OSERROR;
}

}  // namespace

extern "C" {

void VE_token_register_fork_handlers(void) { pthread_once(&atfork_once, _register_fork_handlers); }

int QIVA_token(qiva_config_t *config, qiva_int32_t *token) {
  if (config == nullptr || token == nullptr || config->handle == nullptr ||
      config->token_filename == nullptr) {
    return QIVA_ERR_INVALID;
  }
  auto *data = static_cast<ve_config_data_t *>(config->handle);
  VE_token_register_fork_handlers();
  VE_once_ex(&data->token_init_once, _init_token, config);
  if (data->token_init_error != 0) return data->token_init_error;

  ve_uint32_t counter = 0;
  int rc = QIVA_SUCCESS;
  {
    MutexGuard guard(&token_mutex);
    if (!guard.locked()) return QIVA_ERR_OSERROR;
    rc = QIVA_flock_acquire(data->token_fd);
    if (rc != 0) return rc;
    rc = QIVA_shared_counter_increment(config, &counter);
    if (rc != 0) {
      QIVA_flock_release(data->token_fd);  // the increment's code is the one reported
      return rc;
    }
    rc = QIVA_flock_release(data->token_fd);
  }
  if (rc != 0) return rc;
  *token = static_cast<qiva_int32_t>(counter | data->token_prefix);
  return QIVA_SUCCESS;
}

// Closing the token file drops every record lock this process holds on it, so it must not
// happen in the middle of another configuration's section on the same file.
int VE_token_release(ve_config_data_t *data) {
  if (data == nullptr) return QIVA_ERR_INVALID;
  MutexGuard guard(&token_mutex);
  if (!guard.locked()) return QIVA_ERR_OSERROR;
  int rc = QIVA_SUCCESS;
  if (data->token_init_once.initialised != 0) {
    rc = QIVA_flock_close(data->token_fd);
    data->token_fd = -1;
  }
  if (data->counter_address != nullptr) {
    int released = QIVA_shared_counter_release(data);
    if (rc == QIVA_SUCCESS) rc = released;
  }
  return rc;
}

}  // extern "C"
