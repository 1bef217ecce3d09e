/* Whole-file POSIX record locks. They exclude other processes, not threads of this one. */
#ifndef VESKA_VECOMMON_VE_FLOCK_H
#define VESKA_VECOMMON_VE_FLOCK_H

#ifdef __cplusplus
extern "C" {
#endif

typedef int ve_flock_fd_t; /* -1: no file open */

/* Opens an existing file for reading and writing; *out is -1 on failure. 0 or 25. */
int QIVA_flock_open(const char *path, ve_flock_fd_t *out);
int QIVA_flock_close(ve_flock_fd_t fd);   /* -1 gives 0; 0 or 25 */
int QIVA_flock_acquire(ve_flock_fd_t fd); /* waits for the exclusive lock; 0 or 25 */
int QIVA_flock_release(ve_flock_fd_t fd); /* 0 or 25 */

#ifdef __cplusplus
}
#endif

#endif /* VESKA_VECOMMON_VE_FLOCK_H */
