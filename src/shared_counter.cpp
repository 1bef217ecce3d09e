// The counter shared by every process that uses one token file: the first 4 bytes of the
// token file's ".ctr" companion, mapped shared and advanced in place. All access happens with
// the token file's record lock held (and, inside this process, the token section's mutex),
// which is also what serialises creating and resetting the file between processes.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/concurrent/once.h"
#include "lib/vecommon/ve_inttypes.h"
#include "lib/vecommon/ve_logging.h"
#include "lib/vecommon/ve_types.h"
#include "src/config_data.h"
#include "types.h"

VE_LOG_FILE("veska");

namespace {

constexpr size_t kCounterBytes = sizeof(ve_uint32_t);
constexpr size_t kMaxTokenNameLength = VE_COUNTER_PATH_SIZE - 5;  // room for ".ctr" and NUL
constexpr ve_uint32_t kCounterWrap = 1u << 24;

void _close_counter_file(ve_config_data_t *data) {
  close(data->counter_file);
  data->counter_file = -1;
}

int _open_counter_file(ve_config_data_t *data) {
  VE_LOG_ENTER("_open_counter_file");
  // 0666 before the umask: every process of the host that may use the token file must be
  // able to open the counter too.
  int fd = open(data->counter_path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    char text[512];
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "cannot open counter file %s: %s", data->counter_path,
                 QIVA_last_system_error(text, sizeof text));
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  data->counter_file = fd;
  VE_RETURN(QIVA_SUCCESS);
}

// Gives a file shorter than the counter 4 zero bytes; a longer one is left as it is.
int _size_counter_file(ve_config_data_t *data) {
  struct stat status;
  if (fstat(data->counter_file, &status) != 0) return QIVA_ERR_OSERROR;
  if (status.st_size >= static_cast<off_t>(kCounterBytes)) return QIVA_SUCCESS;
  if (ftruncate(data->counter_file, kCounterBytes) != 0) return QIVA_ERR_OSERROR;
  const unsigned char zero[kCounterBytes] = {0, 0, 0, 0};
  size_t written = 0;
  while (written < kCounterBytes) {
    ssize_t n = pwrite(data->counter_file, zero + written, kCounterBytes - written,
                       static_cast<off_t>(written));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return QIVA_ERR_OSERROR;
    written += static_cast<size_t>(n);
  }
  return QIVA_SUCCESS;
}

int _mmap_counter_file(ve_config_data_t *data) {
  VE_LOG_ENTER("_mmap_counter_file");
  void *address =
      mmap(nullptr, kCounterBytes, PROT_READ | PROT_WRITE, MAP_SHARED, data->counter_file, 0);
  if (address == MAP_FAILED) {
    char text[512];
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "cannot map counter file %s: %s", data->counter_path,
                 QIVA_last_system_error(text, sizeof text));
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  data->counter_address = static_cast<ve_uint32_t *>(address);
  VE_RETURN(QIVA_SUCCESS);
}

int _init_counter(ve_config_t *config, ve_config_data_t *data) {
  VE_LOG_ENTER("_init_counter");
  if (strnlen(config->token_filename, kMaxTokenNameLength + 1) > kMaxTokenNameLength) {
    VE_RETURN(QIVA_ERR_INVALID);
  }
  int length =
      snprintf(data->counter_path, sizeof data->counter_path, "%s.ctr", config->token_filename);
  if (length < 0 || static_cast<size_t>(length) >= sizeof data->counter_path) {
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  if (_open_counter_file(data) != 0) VE_RETURN(QIVA_ERR_OSERROR);
  if (_size_counter_file(data) != 0) {
    char text[512];
    VE_LOG_DEBUG(QIVA_LOG_ERROR, "cannot prepare counter file %s: %s", data->counter_path,
                 QIVA_last_system_error(text, sizeof text));
    _close_counter_file(data);
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  if (_mmap_counter_file(data) != 0) {
    _close_counter_file(data);
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  VE_RETURN(QIVA_SUCCESS);
}

// Runs under counter_init_once; its outcome is final for the activation.
void _init_counter_once(void *arg) {
  auto *config = static_cast<ve_config_t *>(arg);
  auto *data = static_cast<ve_config_data_t *>(config->handle);
  data->counter_init_error = _init_counter(config, data);
}

}  // namespace

extern "C" {

int QIVA_shared_counter_increment(ve_config_t *config, ve_uint32_t *counter) {
  if (config == nullptr || counter == nullptr || config->handle == nullptr ||
      config->token_filename == nullptr) {
    return QIVA_ERR_INVALID;
  }
  auto *data = static_cast<ve_config_data_t *>(config->handle);
  VE_once_ex(&data->counter_init_once, _init_counter_once, config);
  if (data->counter_init_error != 0) return data->counter_init_error;
  // Plain accesses: the caller's locks exclude every other reader and writer.
  ve_uint32_t value = *data->counter_address;
  *counter = value;
  *data->counter_address = value + 1 == kCounterWrap ? 0 : value + 1;
  return QIVA_SUCCESS;
}

int QIVA_shared_counter_release(ve_config_data_t *data) {
  if (data == nullptr) return QIVA_ERR_INVALID;
  if (data->counter_address == nullptr) return QIVA_SUCCESS;
  if (munmap(data->counter_address, kCounterBytes) != 0) return QIVA_ERR_OSERROR;
  data->counter_address = nullptr;
  int rc = close(data->counter_file);
  data->counter_file = -1;  // the descriptor is gone on Linux even when close reports an error
  return rc == 0 ? QIVA_SUCCESS : QIVA_ERR_OSERROR;
}

}  // extern "C"
