/*
 * Once-guards: run a process-wide (or per-record) initialiser exactly once across threads.
 * VE_once_ex also carries an argument to its routine and records that it has run.
 */
#ifndef VESKA_CONCURRENT_ONCE_H
#define VESKA_CONCURRENT_ONCE_H

#include <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ve_once_t {
  pthread_once_t once_control;
  int initialised; /* 1 once a VE_once_ex routine has run; VE_once never sets it */
} ve_once_t;

/* Static initial value; records on the heap are set to it after zero-filling. */
#define VE_ONCE_INIT \
  { PTHREAD_ONCE_INIT, 0 }

typedef void (*ve_once_callback_t)(void);
typedef void (*ve_once_ex_callback_t)(void *arg);

/* Runs init_routine once per record; returns pthread_once's result. */
int VE_once(ve_once_t *once, ve_once_callback_t init_routine);
/* Runs init_routine(arg) once per record, then sets initialised; returns 0. Threads that lose
 * the race wait until the winner's routine has returned. */
int VE_once_ex(ve_once_t *once, ve_once_ex_callback_t init_routine, void *arg);

#ifdef __cplusplus
}
#endif

#endif /* VESKA_CONCURRENT_ONCE_H */
