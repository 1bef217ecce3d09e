// Whole-file POSIX record locks for the token file. fcntl locks belong to the process: they
// exclude other processes only, and closing any descriptor of the file drops them, so callers
// serialise their own threads and keep one descriptor per file.
#include "lib/vecommon/ve_flock.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "lib/vecommon/ve_logging.h"

VE_LOG_FILE("vecommon");

namespace {

// Prepared once by flock_init and only read afterwards.
struct flock flock_lock;
struct flock flock_unlock;
ve_once_t flock_once = VE_ONCE_INIT;

void flock_init() {
  // Length 0 covers the whole file however far it grows.
  memset(&flock_lock, 0, sizeof flock_lock);
  flock_lock.l_type = F_WRLCK;
  flock_lock.l_whence = SEEK_SET;
  flock_lock.l_start = 0;
  flock_lock.l_len = 0;
  flock_lock.l_pid = getpid();
  flock_unlock = flock_lock;
  flock_unlock.l_type = F_UNLCK;
}

// "<call> failed: <the system's text for errno>", on the caller's record and line.
void _log_system_error(qiva_function_log_t *log, int line, const char *call) {
  char text[512];
  QIVA_last_system_error(text, static_cast<int>(sizeof text));
  QIVA_log_debug(log, line, QIVA_LOG_ERROR, "%s failed: %s", call, text);
}

}  // namespace

extern "C" {

int QIVA_flock_open(const char *path, ve_flock_fd_t *out) {
  VE_LOG_ENTER("QIVA_flock_open");
  VE_once(&flock_once, flock_init);
  if (out == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  *out = -1;
  if (path == nullptr) VE_RETURN(QIVA_ERR_INVALID);
  // The file must exist already; the caller decides who creates it.
  int fd = open(path, O_RDWR | O_CLOEXEC);
  *out = fd;
  if (fd < 0) {
    _log_system_error(&QIVA_FUNCTION_LOG, __LINE__, "open");
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  VE_RETURN(QIVA_SUCCESS);
}

int QIVA_flock_close(ve_flock_fd_t fd) {
  VE_LOG_ENTER("QIVA_flock_close");
  if (fd == -1) VE_RETURN(QIVA_SUCCESS);
  if (close(fd) != 0) {
    _log_system_error(&QIVA_FUNCTION_LOG, __LINE__, "close");
    VE_RETURN(QIVA_ERR_OSERROR);
  }
  VE_RETURN(QIVA_SUCCESS);
}

int QIVA_flock_acquire(ve_flock_fd_t fd) {
  VE_LOG_ENTER("QIVA_flock_acquire");
  // Normally prepared by QIVA_flock_open already; the guard makes a stray call safe.
  VE_once(&flock_once, flock_init);
  int rc;
  // A signal that interrupts the wait does not mean the lock is unobtainable: wait again.
  do {
    rc = fcntl(fd, F_SETLKW, &flock_lock);
  } while (rc != 0 && errno == EINTR);
  VE_RETURN(rc == 0 ? QIVA_SUCCESS : QIVA_ERR_OSERROR);
}

int QIVA_flock_release(ve_flock_fd_t fd) {
  VE_LOG_ENTER("QIVA_flock_release");
  VE_once(&flock_once, flock_init);
  VE_RETURN(fcntl(fd, F_SETLK, &flock_unlock) == 0 ? QIVA_SUCCESS : QIVA_ERR_OSERROR);
}

}  // extern "C"
