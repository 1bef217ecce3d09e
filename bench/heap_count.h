// Counts the process's heap calls (malloc, calloc, realloc, free and the aligned forms) made by
// any thread, the library's included: veska-bench replaces the C allocator's entry points with
// counting wrappers around glibc's own, so a benchmark can show that a path makes none.
#ifndef VESKA_BENCH_HEAP_COUNT_H
#define VESKA_BENCH_HEAP_COUNT_H

#include <stdint.h>

namespace veska_bench {

// Heap calls made since the process started.
uint64_t HeapCalls();

}  // namespace veska_bench

#endif  // VESKA_BENCH_HEAP_COUNT_H
