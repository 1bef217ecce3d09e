// Once-guards over pthread_once. pthread_once takes no argument, so VE_once_ex passes its
// routine and argument through a thread-specific slot that a fixed trampoline reads back.
#include "lib/concurrent/once.h"

namespace {

struct VE_ONCE_EX_DATA_T {
  ve_once_t *once;
  ve_once_ex_callback_t init_routine;
  void *arg;
};

pthread_key_t ex_key;
pthread_once_t ex_key_once = PTHREAD_ONCE_INIT;

void _create_ex_key() { pthread_key_create(&ex_key, nullptr); }

void _once_ex_trampoline() {
  // Only the thread that pthread_once chose runs this, with its own record in the slot.
  auto *data = static_cast<VE_ONCE_EX_DATA_T *>(pthread_getspecific(ex_key));
  if (data == nullptr) return;
  data->init_routine(data->arg);
  __atomic_store_n(&data->once->initialised, 1, __ATOMIC_RELEASE);
}

}  // namespace

extern "C" {

int VE_once(ve_once_t *once, ve_once_callback_t init_routine) {
  return pthread_once(&once->once_control, init_routine);
}

int VE_once_ex(ve_once_t *once, ve_once_ex_callback_t init_routine, void *arg) {
  // The fast path pairs with the release store in the trampoline.
  if (__atomic_load_n(&once->initialised, __ATOMIC_ACQUIRE) != 0) return 0;
  VE_ONCE_EX_DATA_T data = {once, init_routine, arg};
  pthread_once(&ex_key_once, _create_ex_key);
  // A routine may itself run VE_once_ex on another record (the logging front end nests file
  // initialisation inside function initialisation), so the previous slot value is restored.
  void *previous = pthread_getspecific(ex_key);
  pthread_setspecific(ex_key, &data);
  pthread_once(&once->once_control, _once_ex_trampoline);
  pthread_setspecific(ex_key, previous);
  return 0;
}

}  // extern "C"
