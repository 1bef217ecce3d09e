// Counting wrappers over glibc's allocator. Defined in the executable, they take the place of
// the C library's entry points for every object of the process, libveska.so included.
#include "bench/heap_count.h"

#include <errno.h>
#include <stddef.h>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *block);
}

namespace {

uint64_t heap_calls = 0;

inline void _count() { __atomic_fetch_add(&heap_calls, 1, __ATOMIC_RELAXED); }

}  // namespace

namespace veska_bench {

uint64_t HeapCalls() { return __atomic_load_n(&heap_calls, __ATOMIC_RELAXED); }

}  // namespace veska_bench

extern "C" {

void *malloc(size_t size) {
  _count();
  return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
  _count();
  return __libc_calloc(count, size);
}

void *realloc(void *block, size_t size) {
  _count();
  return __libc_realloc(block, size);
}

void free(void *block) {
  if (block == nullptr) return;
  _count();
  __libc_free(block);
}

void *memalign(size_t alignment, size_t size) {
  _count();
  return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void **block, size_t alignment, size_t size) {
  void *made = memalign(alignment, size);
  if (made == nullptr) return ENOMEM;
  *block = made;
  return 0;
}

}  // extern "C"
