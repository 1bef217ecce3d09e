/* Whole-file POSIX record locks. They exclude other processes, not threads of this one. */
#ifndef VESKA_VECOMMON_VE_FLOCK_H
#define VESKA_VECOMMON_VE_FLOCK_H

#ifdef __cplusplus
extern "C" {
#endif

typedef int ve_flock_fd_t; /* -1: no file open */

/* Opens an existing file for reading and writing (it is never created); *out is the
 * descriptor, -1 on failure. 0, 25 when the open fails, 21 for a null path or out. The first
 * call prepares the process-wide lock descriptions. */
int QIVA_flock_open(const char *path, ve_flock_fd_t *out);
int QIVA_flock_close(ve_flock_fd_t fd); /* -1 gives 0; 0 or 25 */
/* Waits until this process holds the write lock on the whole file; a signal does not end
 * the wait. 0, or 25 when the call fails (a bad descriptor, a deadlock). */
int QIVA_flock_acquire(ve_flock_fd_t fd);
/* Drops the lock without waiting; 0 or 25. */
int QIVA_flock_release(ve_flock_fd_t fd);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_VECOMMON_VE_FLOCK_H */
