// The client state: its creation from the server string, the byte counter and the enqueue
// step with its drop-oldest accounting.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "client/client_test_util.h"
#include "support/capture_logger.h"

namespace veska_test {
namespace {

using ClientDataTest = ClientStateTest;

TEST(ClientDataInit, ServerNeedsAColonAfterATransportName) {
  const bool captured = install_capture_logger();
  struct Case {
    const char *server;
    int result;
  } cases[] = {{"nocolon", QIVA_ERR_INVALID},
               {":5455", QIVA_ERR_INVALID},
               {"null:", 0},
               {"null:anything", 0},
               {"tcp:127.0.0.1:5455", 0},
               {"bogus:127.0.0.1:5455", QIVA_ERR_INVALID}};
  for (const Case &c : cases) {
    std::unique_ptr<ve_config_data_t> data(new ve_config_data_t);
    qiva_config_t config;
    std::memset(&config, 0, sizeof config);
    config.server = c.server;
    config.queue_size = 4;
    config.handle = data.get();
    EXPECT_EQ(c.result, VE_config_data_init(data.get(), &config)) << c.server;
    if (c.result == 0) {
      EXPECT_NE(nullptr, data->client_data.transport.module);
      EXPECT_EQ(data.get(), data->client_data.dispatcher_state.config_data);
      EXPECT_EQ(-1, data->token_fd);
      EXPECT_EQ(0, VE_config_data_destroy(data.get()));
    }
  }
  if (captured) {
    EXPECT_EQ(1u, count_captured("expected format 'transport:address', found 'nocolon'"));
    EXPECT_EQ(1u, count_captured("expected format 'transport:address', found ':5455'"));
  }
}

TEST_F(ClientDataTest, CounterSaturatesAndNeverGoesBelowZero) {
  Init("null:x", 4);
  VE_increment_data_available(client(), 100, 0, 0);
  EXPECT_EQ(100u, counter());
  VE_decrement_data_available(client(), 40, 0);
  EXPECT_EQ(60u, counter());
  VE_decrement_data_available(client(), 61, 0);
  EXPECT_EQ(0u, counter());
  set_counter(0xFFFFFFF0u);
  VE_increment_data_available(client(), 0x20, 0, 0);
  EXPECT_EQ(0xFFFFFFFFu, counter());
  VE_increment_data_available(client(), 1, 0, 0);
  EXPECT_EQ(0xFFFFFFFFu, counter());
}

TEST_F(ClientDataTest, CounterKeepsEveryIncrementOfConcurrentThreads) {
  Init("null:x", 4);
  __atomic_store_n(&state()->connected, 1, __ATOMIC_RELEASE);  // no signalling
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < 10000; ++i) {
        VE_increment_data_available(client(), 3, 0, 1);
        VE_decrement_data_available(client(), 1, 0);
      }
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(4u * 10000u * 2u, counter());
}

// Waits on dispatch_cond in another thread; wake() reports whether that wait was signalled.
class CondWaiter {
 public:
  explicit CondWaiter(ve_client_data_t *client) : client_(client) {
    thread_ = std::thread([this] {
      pthread_mutex_lock(&client_->dispatch_mutex);
      waiting_ = true;
      struct timespec deadline;
      clock_gettime(CLOCK_REALTIME, &deadline);
      deadline.tv_sec += 60;
      int rc = 0;
      // A spurious wake-up would look like a signal: only a real one or the deadline end it.
      do {
        rc = pthread_cond_timedwait(&client_->dispatch_cond, &client_->dispatch_mutex, &deadline);
      } while (rc == 0 && !expect_signal_.load());
      result_ = rc;
      pthread_mutex_unlock(&client_->dispatch_mutex);
    });
    // The waiter holds the mutex until it waits, so taking it here means it is waiting.
    for (;;) {
      pthread_mutex_lock(&client_->dispatch_mutex);
      bool ready = waiting_;
      pthread_mutex_unlock(&client_->dispatch_mutex);
      if (ready) break;
      std::this_thread::yield();
    }
  }
  void expect_signal() { expect_signal_ = true; }
  int join() {
    thread_.join();
    return result_;
  }

 private:
  ve_client_data_t *client_;
  std::thread thread_;
  bool waiting_ = false;
  std::atomic<bool> expect_signal_{false};
  int result_ = -1;
};

TEST_F(ClientDataTest, IncrementWakesAnUnconnectedDispatcher) {
  Init("null:x", 4);
  CondWaiter waiter(client());
  waiter.expect_signal();
  VE_increment_data_available(client(), 1, 0, 1);
  EXPECT_EQ(0, waiter.join());
}

TEST_F(ClientDataTest, IncrementWakesAConnectedDispatcherAtAFullSendBuffer) {
  Init("null:x", 4);
  __atomic_store_n(&state()->connected, 1, __ATOMIC_RELEASE);
  VE_increment_data_available(client(), 65534, 0, 1);  // below the threshold: no signal
  CondWaiter waiter(client());
  waiter.expect_signal();
  VE_increment_data_available(client(), 1, 0, 1);
  EXPECT_EQ(0, waiter.join());
}

TEST_F(ClientDataTest, SmallIncrementWhileConnectedLeavesTheMutexAlone) {
  Init("null:x", 4);
  __atomic_store_n(&state()->connected, 1, __ATOMIC_RELEASE);
  ASSERT_EQ(0, pthread_mutex_lock(&client()->dispatch_mutex));
  // Were the increment to take the mutex, it would block until the unlock below.
  auto done =
      std::async(std::launch::async, [this] { VE_increment_data_available(client(), 500, 0, 1); });
  EXPECT_EQ(std::future_status::ready, done.wait_for(std::chrono::seconds(30)));
  pthread_mutex_unlock(&client()->dispatch_mutex);
  done.wait();
  EXPECT_EQ(500u, counter());
}

TEST_F(ClientDataTest, EnqueueRefusesInactiveConfigurationAndNullMessage) {
  Init("null:x", 4);
  EXPECT_EQ(QIVA_ERR_INVALID, VE_enqueue_message(&config_, nullptr, 10));
  qiva_config_t inactive;
  std::memset(&inactive, 0, sizeof inactive);
  ve_memory_pool_handle_t message = block(10, 1);
  EXPECT_EQ(QIVA_ERR_LOGIC, VE_enqueue_message(&inactive, message, 10));
  VE_memory_pool_free(client()->memory_pool, message);
  EXPECT_EQ(0u, counter());
}

TEST_F(ClientDataTest, FullQueueDropsTheOldestAndCorrectsTheCounter) {
  const bool captured = install_capture_logger();
  Init("null:x", 3);
  const ve_uint32_t dropped_before = VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED);
  ASSERT_EQ(0, VE_enqueue_message(&config_, block(100, 'a'), 100));
  ASSERT_EQ(0, VE_enqueue_message(&config_, block(50, 'b'), 50));
  ASSERT_EQ(0, VE_enqueue_message(&config_, block(70, 'c'), 70));
  EXPECT_EQ(220u, counter());
  EXPECT_EQ(0, client()->queue_full);

  ASSERT_EQ(0, VE_enqueue_message(&config_, block(60, 'd'), 60));  // drops 100: -40
  EXPECT_EQ(180u, counter());
  EXPECT_EQ(1, client()->queue_full);
  ASSERT_EQ(0, VE_enqueue_message(&config_, block(120, 'e'), 120));  // drops 50: +70
  EXPECT_EQ(250u, counter());
  ASSERT_EQ(0, VE_enqueue_message(&config_, block(70, 'f'), 70));  // drops 70: unchanged
  EXPECT_EQ(250u, counter());
  EXPECT_EQ(dropped_before + 3, VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED));

  // Exactly the newest three remain, oldest first.
  const unsigned char expected[] = {'d', 'e', 'f'};
  const ve_uint32_t sizes[] = {60, 120, 70};
  for (int i = 0; i < 3; ++i) {
    ve_message_buffer_t item;
    ASSERT_NE(nullptr, CCQ_pop(&client()->queue, &item));
    EXPECT_EQ(0u, item.offset);
    EXPECT_EQ(sizes[i], item.size);
    EXPECT_EQ(expected[i],
              *static_cast<unsigned char *>(VE_memory_pool_data(client()->memory_pool, item.data)));
    VE_memory_pool_free(client()->memory_pool, item.data);
  }
  if (captured) {
    EXPECT_EQ(1u, count_captured("Event queue full (size 3) - dropping old event"));
  }
}

TEST_F(ClientDataTest, QueueFullMessageOncePerRunOfDrops) {
  if (!install_capture_logger()) GTEST_SKIP() << "no logger can be installed in this build";
  Init("null:x", 1);
  ASSERT_EQ(0, VE_enqueue_message(&config_, block(10, 1), 10));
  ASSERT_EQ(0, VE_enqueue_message(&config_, block(10, 2), 10));  // drop: message
  ASSERT_EQ(0, VE_enqueue_message(&config_, block(10, 3), 10));  // drop: silent
  EXPECT_EQ(1u, count_captured("Event queue full (size 1)"));
  ve_message_buffer_t item;
  ASSERT_NE(nullptr, CCQ_pop(&client()->queue, &item));
  VE_memory_pool_free(client()->memory_pool, item.data);
  ASSERT_EQ(0, VE_enqueue_message(&config_, block(10, 4), 10));  // no drop: run ends
  EXPECT_EQ(0, client()->queue_full);
  ASSERT_EQ(0, VE_enqueue_message(&config_, block(10, 5), 10));  // a new run: message
  EXPECT_EQ(2u, count_captured("Event queue full (size 1)"));
}

TEST_F(ClientDataTest, DestroyReleasesQueuedMessages) {
  // Leaks here would show in the sanitizer build.
  Init("null:x", 8);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(0, VE_enqueue_message(&config_, block(32, 1), 32));
  // One taken out by the dispatcher and only partly copied is released too.
  ASSERT_NE(nullptr, CCQ_pop(&client()->queue, &state()->event_buffer));
  state()->event_buffer.offset = 5;
}

}  // namespace
}  // namespace veska_test

namespace veska_test {
namespace {

// Producers allocate messages of every size class (and heap sizes) from the client's pool,
// fill them with a pattern of their own and enqueue them into a small queue, so that pushes
// drop; one consumer pops, checks every byte and frees. Every message is either checked or
// counted as dropped, each producer's messages come out in order, and no byte is wrong.
TEST_F(ClientDataTest, PoolAndQueueKeepEveryMessageIntactAcrossProducersDropsAndTheConsumer) {
  Init("null:x", 64);
  const ve_uint32_t dropped_before = VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED);
  const int kProducers = 4;
  const int kPerProducer = 20000;
  std::atomic<int> producing{kProducers};
  std::atomic<long> bad{0};
  long checked = 0;
  ve_uint64_t popped_bytes = 0;
  std::thread consumer([&] {
    std::vector<int> last(kProducers, -1);
    for (;;) {
      bool done = producing.load() == 0;
      ve_message_buffer_t item;
      if (CCQ_pop(&client()->queue, &item) == nullptr) {
        if (done) break;
        std::this_thread::yield();
        continue;
      }
      auto *bytes =
          static_cast<unsigned char *>(VE_memory_pool_data(client()->memory_pool, item.data));
      int producer = bytes[0];
      int sequence = bytes[1] | bytes[2] << 8 | bytes[3] << 16;
      if (producer >= kProducers || sequence <= last[producer]) ++bad;
      if (producer < kProducers) last[producer] = sequence;
      for (ve_uint32_t i = 4; i < item.size; ++i) {
        if (bytes[i] != static_cast<unsigned char>(sequence + i)) {
          ++bad;
          break;
        }
      }
      VE_memory_pool_free(client()->memory_pool, item.data);
      popped_bytes += item.size;
      ++checked;
    }
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int s = 0; s < kPerProducer; ++s) {
        ve_uint16_t size = static_cast<ve_uint16_t>(4 + (s * 7919 + p * 104729) % 6000);
        ve_memory_pool_handle_t handle = VE_memory_pool_alloc(client()->memory_pool, size);
        auto *bytes =
            static_cast<unsigned char *>(VE_memory_pool_data(client()->memory_pool, handle));
        bytes[0] = static_cast<unsigned char>(p);
        bytes[1] = static_cast<unsigned char>(s);
        bytes[2] = static_cast<unsigned char>(s >> 8);
        bytes[3] = static_cast<unsigned char>(s >> 16);
        for (ve_uint32_t i = 4; i < size; ++i) bytes[i] = static_cast<unsigned char>(s + i);
        if (VE_enqueue_message(&config_, handle, size) != 0) ++bad;
      }
      --producing;
    });
  }
  for (std::thread &t : producers) t.join();
  consumer.join();
  const ve_uint32_t dropped = VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED) - dropped_before;
  EXPECT_EQ(0, bad.load());
  EXPECT_EQ(static_cast<long>(kProducers) * kPerProducer, checked + dropped);
  // Nothing took copied bytes off the counter here: it holds exactly what was popped.
  EXPECT_EQ(popped_bytes, counter());
}

}  // namespace
}  // namespace veska_test
