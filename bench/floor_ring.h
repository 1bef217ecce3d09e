// The floor of any queueing tracker: a preallocated ring that takes one copy of the message
// and one atomic publish per event, drained by a consumer thread. veska-bench times it beside
// QIVA_track; veska-load times it under the same pacing, to show what the machine alone adds
// to a single call.
#ifndef VESKA_BENCH_FLOOR_RING_H
#define VESKA_BENCH_FLOOR_RING_H

#include <stdint.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <thread>
#include <vector>

namespace veska_bench {

// The drain loops' short pause, for the ring's consumer and for waiters on any peer.
inline void SleepMicroseconds(long us) {
  struct timespec pause = {0, us * 1000};
  nanosleep(&pause, nullptr);
}

// A bounded multi-producer ring of fixed 120-byte messages (Vyukov's sequence-numbered slots):
// a producer claims a slot with one compare-exchange, copies the message and publishes it with
// one release store; a full ring refuses the message and counts it. One consumer thread copies
// every message out, as a dispatcher copies into its send buffer, and sleeps briefly when idle.
class FloorRing {
 public:
  static const size_t kMessageSize = 120;

  explicit FloorRing(size_t capacity_log2)
      : mask_((size_t{1} << capacity_log2) - 1), slots_(mask_ + 1) {
    for (size_t i = 0; i <= mask_; ++i) slots_[i].sequence.store(i, std::memory_order_relaxed);
    consumer_ = std::thread([this] { _consume(); });
  }
  ~FloorRing() {
    stop_.store(true, std::memory_order_release);
    consumer_.join();
  }
  FloorRing(const FloorRing &) = delete;
  FloorRing &operator=(const FloorRing &) = delete;

  bool Publish(const unsigned char *message) {
    uint64_t position = tail_.load(std::memory_order_relaxed);
    Slot *slot;
    for (;;) {
      slot = &slots_[position & mask_];
      uint64_t sequence = slot->sequence.load(std::memory_order_acquire);
      if (sequence == position) {
        if (tail_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
          break;
        }
      } else if (sequence < position) {
        drops_.fetch_add(1, std::memory_order_relaxed);  // the consumer is a lap behind
        return false;
      } else {
        position = tail_.load(std::memory_order_relaxed);
      }
    }
    memcpy(slot->bytes, message, kMessageSize);
    slot->sequence.store(position + 1, std::memory_order_release);
    return true;
  }

  uint64_t Drops() const { return drops_.load(std::memory_order_relaxed); }
  uint64_t Consumed() const { return head_.load(std::memory_order_acquire); }

  // Waits until the consumer has caught up with every published message.
  bool Drain(int timeout_ms) {
    for (int waited_us = 0; waited_us < timeout_ms * 1000; waited_us += 50) {
      if (head_.load(std::memory_order_acquire) >= tail_.load(std::memory_order_acquire)) {
        return true;
      }
      SleepMicroseconds(50);
    }
    return false;
  }

 private:
  struct alignas(64) Slot {
    std::atomic<uint64_t> sequence;
    unsigned char bytes[kMessageSize];
  };

  void _consume() {
    unsigned char out[kMessageSize];
    uint64_t head = 0;
    uint64_t sum = 0;
    for (;;) {
      Slot *slot = &slots_[head & mask_];
      if (slot->sequence.load(std::memory_order_acquire) == head + 1) {
        memcpy(out, slot->bytes, kMessageSize);
        sum += out[0];
        slot->sequence.store(head + mask_ + 1, std::memory_order_release);
        head_.store(++head, std::memory_order_release);
        continue;
      }
      if (stop_.load(std::memory_order_acquire)) break;
      SleepMicroseconds(20);
    }
    checksum_ = sum;
  }

  const size_t mask_;
  std::vector<Slot> slots_;
  alignas(64) std::atomic<uint64_t> tail_{0};
  alignas(64) std::atomic<uint64_t> head_{0};
  std::atomic<uint64_t> drops_{0};
  std::atomic<bool> stop_{false};
  uint64_t checksum_ = 0;
  std::thread consumer_;
};

}  // namespace veska_bench

#endif  // VESKA_BENCH_FLOOR_RING_H
