// The memory pool. The exported operations are the documented facade: the sentinel pool is the
// process heap, whose handle is the block's own address, and any other value is refused without
// being read, unless it is a pool this library made and has not destroyed yet (kept in a
// registry and recognised by its address alone). A configuration's client state makes a pool of
// its own (VE_memory_pool_create) and its hot path reaches it through the hidden operations of
// memory_pool-internal.h, without the registry: free lists by size class, grown lazily in steps
// up to about the queue's capacity, so that in the steady state an event's block comes from a
// list and goes back to it without touching the heap, and the dispatcher's free is one
// compare-exchange instead of glibc's cross-thread free. The classes reach the largest message
// (65535 bytes), so only a class that is exhausted (more blocks out than the queue holds, plus a
// margin) or cannot be mapped falls back to the heap. Either way the handle is the address of
// the block's bytes. Memory stays bounded by the queue: a class never makes more blocks than
// its capacity, and a class keeps the blocks it made for the next messages of its size.
//
// Each class maps address space for all its blocks at once, without committing memory to it,
// and populates a page of it at every step. A fresh page that a tracking call touched
// first would cost it a page fault, and a queue that fills behind a stalled collector touches
// thousands of them; populating a step's pages together costs a fraction of that.
#include "src/memory_pool.h"

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "lib/concurrent/mutex_guard.h"
#include "src/memory_pool-internal.h"
#include "types.h"

namespace {

ve_memory_pool_t *const kPoolSentinel = reinterpret_cast<ve_memory_pool_t *>(uintptr_t{0x12345678});

const ve_uint32_t kClassCount = 10;  // 128, 256, ... 65536 bytes of data
const ve_uint32_t kSmallestClass = 128;
const ve_uint32_t kSpareBlocks = 128;  // beyond the queue's capacity
// How much of a class's storage one step populates (at least one block): one page, which
// costs well under a microsecond where a page fault costs about ten.
const size_t kStepBytes = 4096;
const ve_uint32_t kHeapClass = 0xFFFFFFFFu;

// Every block starts with this header; the handle points just past it. Only heap blocks fill
// it in: a class's blocks are known by their address, so freeing one never reads the block,
// which in a stalled queue is the oldest message, long out of every cache.
struct _block_header_t {
  ve_uint32_t size_class;  // kHeapClass
  ve_uint32_t unused;
};
static_assert(sizeof(_block_header_t) == 8, "the header keeps the data 8-byte aligned");

// One size class: blocks numbered 0 .. capacity-1, stored one after the other in the class's
// mapping behind the capacity links of next[]; both are populated from their start as the
// class grows.
// Free blocks are linked through next[] in one of two stacks, each on its own cache line:
// - top, the blocks ready to allocate, popped and pushed only by allocating threads. It holds
//   (tag << 32 | (index + 1)), 0 in the low half meaning empty. The tag changes with every
//   successful pop and push, so a compare-exchange cannot succeed on a top that was popped
//   and pushed back meanwhile.
// - returned, the blocks freed since (index + 1 of the newest, 0 for none), pushed by any
//   freeing thread and taken whole, in one exchange, by an allocator that finds top empty.
//   With only pushes and a take-all it needs no tag.
// So the dispatcher's free, which is most frees, writes a line the producers read only once
// per batch of blocks instead of once per event.
struct _size_class_t {
  ve_uint64_t top;
  char pad[56];
  ve_uint32_t returned;
  char returned_pad[60];
  ve_uint32_t block_bytes;  // header + data
  ve_uint32_t capacity;
  ve_uint32_t made;   // blocks made so far; grows under grow_mutex
  ve_uint32_t *next;  // the start of the class's mapping
  unsigned char *blocks;
  size_t next_populated;  // bytes present from next and from blocks; grow under grow_mutex
  size_t blocks_populated;
  size_t mapped_bytes;
  size_t page_bytes;
  pthread_mutex_t grow_mutex;
};

struct _class_pool_t {
  ve_memory_pool_t base;     // dummy unused: the registry, not the record, tells pools apart
  _class_pool_t *next_live;  // the registry's link, under registry_mutex
  // Kept off the line of the first class's top, which allocating threads write at every call.
  char base_pad[48];
  _size_class_t classes[kClassCount];
};

// The pools made and not yet destroyed. A value handed to an exported operation is compared
// with these addresses and is never read unless it is one of them. The first kLiveSlots pools
// sit in slots that a look-up reads without a lock (an exported call costs a few loads, not a
// lock); any more are listed under registry_mutex. Slots and list change under the mutex.
const ve_uint32_t kLiveSlots = 64;
pthread_mutex_t registry_mutex = PTHREAD_MUTEX_INITIALIZER;
_class_pool_t *live_slots[kLiveSlots];
ve_uint32_t live_slots_used = 0;      // slots ever filled; read without the lock
_class_pool_t *live_pools = nullptr;  // the pools beyond the slots
pthread_once_t registry_fork_once = PTHREAD_ONCE_INIT;

void _registry_lock() { pthread_mutex_lock(&registry_mutex); }
void _registry_unlock() { pthread_mutex_unlock(&registry_mutex); }

// A child of fork must not inherit the registry locked by a thread it does not have.
void _register_fork_handlers() {
  pthread_atfork(_registry_lock, _registry_unlock, _registry_unlock);
}

void _register(_class_pool_t *pool) {
  pthread_once(&registry_fork_once, _register_fork_handlers);
  MutexGuard guard(&registry_mutex);
  const ve_uint32_t used = live_slots_used;
  for (ve_uint32_t i = 0; i < used; ++i) {
    if (live_slots[i] == nullptr) {
      __atomic_store_n(&live_slots[i], pool, __ATOMIC_RELEASE);
      return;
    }
  }
  if (used < kLiveSlots) {
    __atomic_store_n(&live_slots[used], pool, __ATOMIC_RELEASE);
    __atomic_store_n(&live_slots_used, used + 1, __ATOMIC_RELEASE);
    return;
  }
  pool->next_live = live_pools;
  __atomic_store_n(&live_pools, pool, __ATOMIC_RELEASE);
}

// Removes a live pool from the registry; false (and nothing removed) for any other value.
bool _unregister(ve_memory_pool_t *pool) {
  MutexGuard guard(&registry_mutex);
  for (ve_uint32_t i = 0; i < live_slots_used; ++i) {
    if (live_slots[i] != nullptr && &live_slots[i]->base == pool) {
      __atomic_store_n(&live_slots[i], nullptr, __ATOMIC_RELEASE);
      return true;
    }
  }
  for (_class_pool_t **link = &live_pools; *link != nullptr; link = &(*link)->next_live) {
    if (&(*link)->base == pool) {
      __atomic_store_n(link, (*link)->next_live, __ATOMIC_RELEASE);
      return true;
    }
  }
  return false;
}

// The live pool at this address, or null: the value itself is only compared.
_class_pool_t *_live_pool(const ve_memory_pool_t *pool) {
  if (pool == nullptr || pool == kPoolSentinel) return nullptr;
  const ve_uint32_t used = __atomic_load_n(&live_slots_used, __ATOMIC_ACQUIRE);
  for (ve_uint32_t i = 0; i < used; ++i) {
    _class_pool_t *live = __atomic_load_n(&live_slots[i], __ATOMIC_ACQUIRE);
    if (live != nullptr && &live->base == pool) return live;
  }
  if (__atomic_load_n(&live_pools, __ATOMIC_ACQUIRE) == nullptr) return nullptr;
  MutexGuard guard(&registry_mutex);
  for (_class_pool_t *live = live_pools; live != nullptr; live = live->next_live) {
    if (&live->base == pool) return live;
  }
  return nullptr;
}

inline _block_header_t *_block(_size_class_t *size_class, ve_uint32_t index) {
  return reinterpret_cast<_block_header_t *>(size_class->blocks +
                                             static_cast<size_t>(index) * size_class->block_bytes);
}

void _push(_size_class_t *size_class, ve_uint32_t index) {
  ve_uint64_t top = __atomic_load_n(&size_class->top, __ATOMIC_RELAXED);
  for (;;) {
    __atomic_store_n(&size_class->next[index], static_cast<ve_uint32_t>(top), __ATOMIC_RELAXED);
    ve_uint64_t new_top = (((top >> 32) + 1) << 32) | (index + 1);
    // Release: the block's next link (and its last use) are visible to whoever pops it.
    if (__atomic_compare_exchange_n(&size_class->top, &top, new_top, true, __ATOMIC_RELEASE,
                                    __ATOMIC_RELAXED)) {
      return;
    }
  }
}

// Stacks a chain of freed blocks (first .. last, index + 1 each, already linked through next[])
// on returned in one exchange; release, so that the links (and the blocks' last use) are
// visible to whoever takes the stack.
void _return_chain(_size_class_t *size_class, ve_uint32_t first, ve_uint32_t last) {
  ve_uint32_t seen = __atomic_load_n(&size_class->returned, __ATOMIC_RELAXED);
  do {
    __atomic_store_n(&size_class->next[last - 1], seen, __ATOMIC_RELAXED);
  } while (!__atomic_compare_exchange_n(&size_class->returned, &seen, first, true, __ATOMIC_RELEASE,
                                        __ATOMIC_RELAXED));
}

// The class whose blocks hold this header, or null (a heap block).
_size_class_t *_class_of(_class_pool_t *made, const _block_header_t *header, ve_uint32_t *index) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(header);
  for (_size_class_t &size_class : made->classes) {
    // Unsigned: an address below the class's blocks wraps to a large offset. The largest
    // class's offsets pass 32 bits; its block numbers do not.
    const uintptr_t offset = address - reinterpret_cast<uintptr_t>(size_class.blocks);
    if (offset < static_cast<uintptr_t>(size_class.capacity) * size_class.block_bytes) {
      *index = static_cast<ve_uint32_t>(offset / size_class.block_bytes);
      return &size_class;
    }
  }
  return nullptr;
}

// Takes every returned block: keeps the newest (index + 1, 0 when there was none) for the
// caller and makes the rest ready to allocate.
ve_uint32_t _take_returned(_size_class_t *size_class) {
  if (__atomic_load_n(&size_class->returned, __ATOMIC_RELAXED) == 0) return 0;
  const ve_uint32_t first = __atomic_exchange_n(&size_class->returned, 0, __ATOMIC_ACQUIRE);
  if (first == 0) return 0;
  const ve_uint32_t rest = __atomic_load_n(&size_class->next[first - 1], __ATOMIC_RELAXED);
  if (rest == 0) return first;
  // The taken chain is this thread's alone. Usually top is empty and the chain becomes it
  // whole; otherwise the chain's last block (found once) is linked to whatever top holds.
  ve_uint64_t top = __atomic_load_n(&size_class->top, __ATOMIC_RELAXED);
  ve_uint32_t last = 0;
  for (;;) {
    if (last == 0 && static_cast<ve_uint32_t>(top) != 0) {
      last = rest;
      for (ve_uint32_t after;
           (after = __atomic_load_n(&size_class->next[last - 1], __ATOMIC_RELAXED)) != 0;) {
        last = after;
      }
    }
    if (last != 0) {
      __atomic_store_n(&size_class->next[last - 1], static_cast<ve_uint32_t>(top),
                       __ATOMIC_RELAXED);
    }
    ve_uint64_t new_top = (((top >> 32) + 1) << 32) | rest;
    // Release: the chain's links are visible to whoever pops from it.
    if (__atomic_compare_exchange_n(&size_class->top, &top, new_top, true, __ATOMIC_RELEASE,
                                    __ATOMIC_RELAXED)) {
      return first;
    }
  }
}

// 0 when the stack is empty, else index + 1.
ve_uint32_t _pop(_size_class_t *size_class) {
  ve_uint64_t top = __atomic_load_n(&size_class->top, __ATOMIC_ACQUIRE);
  for (;;) {
    ve_uint32_t first = static_cast<ve_uint32_t>(top);
    if (first == 0) return 0;
    // next[] is never freed while the pool lives, so reading a stale link is harmless: the
    // tag makes the exchange fail and the loop reads again.
    ve_uint32_t after = __atomic_load_n(&size_class->next[first - 1], __ATOMIC_RELAXED);
    ve_uint64_t new_top = (((top >> 32) + 1) << 32) | after;
    if (__atomic_compare_exchange_n(&size_class->top, &top, new_top, true, __ATOMIC_ACQUIRE,
                                    __ATOMIC_ACQUIRE)) {
      return first;
    }
  }
}

// Makes the pages of an area present up to the one holding byte want - 1. Populating leaves
// the mapping itself alone (changing it would interrupt the other threads of the process to
// flush their address translations). False when the system has no memory for them.
bool _populate_up_to(unsigned char *area, size_t *populated, size_t want, size_t page_bytes) {
  if (want <= *populated) return true;
  want = (want + page_bytes - 1) / page_bytes * page_bytes;
  unsigned char *start = area + *populated;
  const size_t length = want - *populated;
  int result = -1;
#ifdef MADV_POPULATE_WRITE
  result = madvise(start, length, MADV_POPULATE_WRITE);
  if (result != 0 && errno != EINVAL) return false;
#endif
  if (result != 0) {
    // A kernel without MADV_POPULATE_WRITE (before 5.14): fault the pages in here, still all
    // on the one call that grows.
    for (size_t offset = 0; offset < length; offset += page_bytes) {
      __atomic_store_n(start + offset, 0, __ATOMIC_RELAXED);
    }
  }
  *populated = want;
  return true;
}

// Makes one more step of the class's blocks and stacks them; false when the class is full or
// the system refuses the memory.
bool _grow(_size_class_t *size_class) {
  MutexGuard guard(&size_class->grow_mutex);
  if (!guard.locked()) return false;
  ve_uint32_t made = size_class->made;
  if (made >= size_class->capacity) return false;
  ve_uint32_t count = static_cast<ve_uint32_t>(kStepBytes / size_class->block_bytes);
  if (count == 0) count = 1;
  if (count > size_class->capacity - made) count = size_class->capacity - made;
  const size_t now_made = static_cast<size_t>(made) + count;
  if (!_populate_up_to(reinterpret_cast<unsigned char *>(size_class->next),
                       &size_class->next_populated, now_made * sizeof(ve_uint32_t),
                       size_class->page_bytes) ||
      !_populate_up_to(size_class->blocks, &size_class->blocks_populated,
                       now_made * size_class->block_bytes, size_class->page_bytes)) {
    return false;
  }
  size_class->made = made + count;
  for (ve_uint32_t i = 0; i < count; ++i) _push(size_class, made + i);
  return true;
}

// Maps the class's address space. No memory is committed to it (a queue of 65535 gives the
// largest class 4.3 GB of addresses, all ten about 8.6 GB) until steps populate it. A class whose
// mapping fails keeps capacity 0, never grows, and the heap serves its sizes.
void _reserve(_size_class_t *size_class, ve_uint32_t capacity) {
  const size_t page_bytes = size_class->page_bytes;
  const size_t links = (static_cast<size_t>(capacity) * sizeof(ve_uint32_t) + page_bytes - 1) /
                       page_bytes * page_bytes;
  const size_t bytes = links + static_cast<size_t>(capacity) * size_class->block_bytes;
  void *reservation = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reservation == MAP_FAILED) return;
  size_class->mapped_bytes = bytes;
  size_class->next = static_cast<ve_uint32_t *>(reservation);
  size_class->blocks = static_cast<unsigned char *>(reservation) + links;
  size_class->capacity = capacity;
}

void *_heap_block(ve_uint16_t size) {
  auto *header = static_cast<_block_header_t *>(malloc(sizeof(_block_header_t) + size));
  if (header == nullptr) return nullptr;
  header->size_class = kHeapClass;
  header->unused = 0;
  return header + 1;
}

// Releases a pool already taken out of the registry (or never in it).
void _destroy(_class_pool_t *made) {
  for (_size_class_t &size_class : made->classes) {
    if (size_class.next != nullptr) munmap(size_class.next, size_class.mapped_bytes);
    pthread_mutex_destroy(&size_class.grow_mutex);
  }
  free(made);
}

}  // namespace

namespace veska_internal {

ve_memory_pool_handle_t pool_alloc(ve_memory_pool_t *pool, ve_uint16_t size) {
  if (size == 0) return nullptr;
  if (pool == kPoolSentinel) return malloc(size);
  auto *made = reinterpret_cast<_class_pool_t *>(pool);
  ve_uint32_t class_number = 0;
  while (class_number < kClassCount && (kSmallestClass << class_number) < size) ++class_number;
  if (class_number == kClassCount) return _heap_block(size);
  _size_class_t *size_class = &made->classes[class_number];
  ve_uint32_t first = _pop(size_class);
  while (first == 0) {
    first = _take_returned(size_class);
    if (first != 0) break;
    if (!_grow(size_class)) return _heap_block(size);
    first = _pop(size_class);
  }
  return _block(size_class, first - 1) + 1;
}

void pool_free(ve_memory_pool_t *pool, ve_memory_pool_handle_t handle) {
  if (handle == nullptr) return;
  if (pool == kPoolSentinel) {
    free(handle);
    return;
  }
  auto *made = reinterpret_cast<_class_pool_t *>(pool);
  auto *header = static_cast<_block_header_t *>(handle) - 1;
  ve_uint32_t index = 0;
  _size_class_t *size_class = _class_of(made, header, &index);
  if (size_class != nullptr) {
    _return_chain(size_class, index + 1, index + 1);
  } else if (header->size_class == kHeapClass) {
    free(header);
  }
}

void pool_free_many(ve_memory_pool_t *pool, ve_memory_pool_handle_t *handles, ve_uint32_t count) {
  if (pool == kPoolSentinel) {
    for (ve_uint32_t i = 0; i < count; ++i) free(handles[i]);
    return;
  }
  auto *made = reinterpret_cast<_class_pool_t *>(pool);
  // Per class, the blocks are linked into one chain here and stacked with one exchange: the
  // returned stack's line moves between threads once per batch instead of once per block.
  ve_uint32_t first[kClassCount] = {};
  ve_uint32_t last[kClassCount] = {};
  for (ve_uint32_t i = 0; i < count; ++i) {
    if (handles[i] == nullptr) continue;
    auto *header = static_cast<_block_header_t *>(handles[i]) - 1;
    ve_uint32_t index = 0;
    _size_class_t *size_class = _class_of(made, header, &index);
    if (size_class == nullptr) {
      if (header->size_class == kHeapClass) free(header);
      continue;
    }
    const size_t number = static_cast<size_t>(size_class - made->classes);
    __atomic_store_n(&size_class->next[index], first[number], __ATOMIC_RELAXED);
    if (first[number] == 0) last[number] = index + 1;
    first[number] = index + 1;
  }
  for (ve_uint32_t number = 0; number < kClassCount; ++number) {
    if (first[number] != 0) _return_chain(&made->classes[number], first[number], last[number]);
  }
}

void pool_fork_lock(ve_memory_pool_t *pool, int lock) {
  if (pool == nullptr || pool == kPoolSentinel) return;
  auto *made = reinterpret_cast<_class_pool_t *>(pool);
  // Taken before a fork so that no class is half grown in the child's copy; a grow lock is
  // never held while another lock is taken, so it comes last. The free lists change only by
  // single compare-exchanges and are whole in any copy.
  for (_size_class_t &size_class : made->classes) {
    if (lock != 0) {
      pthread_mutex_lock(&size_class.grow_mutex);
    } else {
      pthread_mutex_unlock(&size_class.grow_mutex);
    }
  }
}

}  // namespace veska_internal

extern "C" {

int VE_memory_pool_init(ve_memory_pool_t **pool, ve_uint16_t min_blocks) {
  (void)min_blocks;  // the heap needs no reservation
  if (pool == nullptr) return QIVA_ERR_INVALID;
  *pool = kPoolSentinel;
  return QIVA_SUCCESS;
}

int VE_memory_pool_create(ve_memory_pool_t **pool, ve_uint16_t min_blocks) {
  if (pool == nullptr) return QIVA_ERR_INVALID;
  *pool = nullptr;
  auto *made = static_cast<_class_pool_t *>(calloc(1, sizeof(_class_pool_t)));
  if (made == nullptr) return QIVA_ERR_NOMEM;
  // Room for a full queue, the dispatcher's message and producers between allocation and
  // enqueue; beyond that the heap serves.
  const ve_uint32_t capacity = static_cast<ve_uint32_t>(min_blocks) + kSpareBlocks;
  long page_bytes = sysconf(_SC_PAGESIZE);
  if (page_bytes <= 0) page_bytes = 4096;
  for (ve_uint32_t c = 0; c < kClassCount; ++c) {
    _size_class_t *size_class = &made->classes[c];
    size_class->block_bytes = sizeof(_block_header_t) + (kSmallestClass << c);
    size_class->page_bytes = static_cast<size_t>(page_bytes);
    pthread_mutex_init(&size_class->grow_mutex, nullptr);
    _reserve(size_class, capacity);
  }
  _register(made);
  *pool = &made->base;
  return QIVA_SUCCESS;
}

int VE_memory_pool_destroy(ve_memory_pool_t *pool) {
  if (pool == kPoolSentinel) return QIVA_SUCCESS;
  if (pool == nullptr || !_unregister(pool)) return QIVA_ERR_INVALID;
  _destroy(reinterpret_cast<_class_pool_t *>(pool));
  return QIVA_SUCCESS;
}

void VE_memory_pool_fork_lock(ve_memory_pool_t *pool, int lock) {
  if (_live_pool(pool) != nullptr) veska_internal::pool_fork_lock(pool, lock);
}

ve_memory_pool_handle_t VE_memory_pool_alloc(ve_memory_pool_t *pool, ve_uint16_t size) {
  if (pool != kPoolSentinel && _live_pool(pool) == nullptr) return nullptr;
  return veska_internal::pool_alloc(pool, size);
}

void VE_memory_pool_free(ve_memory_pool_t *pool, ve_memory_pool_handle_t handle) {
  if (pool != kPoolSentinel && _live_pool(pool) == nullptr) return;
  veska_internal::pool_free(pool, handle);
}

void *VE_memory_pool_data(ve_memory_pool_t *pool, ve_memory_pool_handle_t handle) {
  if (pool != kPoolSentinel && _live_pool(pool) == nullptr) return nullptr;
  return handle;
}

}  // extern "C"
