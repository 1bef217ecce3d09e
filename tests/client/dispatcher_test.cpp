// The dispatcher's steps driven one by one: heartbeat rules, buffer preference, flush
// bookkeeping, connecting, and the send step over a recording transport.
#include <pthread.h>

#include <string>
#include <thread>
#include <vector>

#include "client/client_test_util.h"
#include "support/client_events.h"
#include "tools/collector/decoding/decoder.h"

namespace veska_test {
namespace {

// A transport that records what is sent per connection and fails on request.
struct FakeTransport {
  int connects = 0;
  int closes = 0;
  int connect_failures = 0;        // the next n connects fail with 27
  int fail_send_call = -1;         // this send call (counting from 0) fails with 23
  uint32_t max_send = 0xFFFFFFFF;  // largest amount one send accepts
  int send_calls = 0;
  std::vector<uint32_t> send_sizes;
  std::vector<std::vector<uint8_t>> connections;
};
FakeTransport *fake = nullptr;

int _fake_init(transport_instance_t *) { return 0; }
int _fake_destroy(transport_instance_t *) { return 0; }
int _fake_connect(transport_endpoint_t *, const char *, const struct timeval *) {
  if (fake->connect_failures > 0) {
    --fake->connect_failures;
    return QIVA_ERR_AGAIN;
  }
  ++fake->connects;
  fake->connections.emplace_back();
  return 0;
}
int _fake_close(transport_endpoint_t *) {
  ++fake->closes;
  return 0;
}
int _fake_send(transport_endpoint_t *, const char *buf, uint32_t *size) {
  int call = fake->send_calls++;
  fake->send_sizes.push_back(*size);
  if (call == fake->fail_send_call) return QIVA_ERR_TRANSPORT;
  if (*size > fake->max_send) *size = fake->max_send;
  fake->connections.back().insert(fake->connections.back().end(), buf, buf + *size);
  return 0;
}
int _fake_set_blocking(transport_endpoint_t *, int) { return 0; }
int _fake_check(const char *) { return 0; }

transport_module_t fake_module = {"fake",        _fake_init, _fake_destroy,      nullptr,
                                  _fake_connect, nullptr,    _fake_close,        _fake_send,
                                  nullptr,       nullptr,    _fake_set_blocking, _fake_check,
                                  nullptr};

std::vector<veska::wire::Message> decode_all(const std::vector<uint8_t> &bytes,
                                             bool *clean = nullptr) {
  veska::wire::StreamDecoder decoder;
  std::vector<veska::wire::Message> messages;
  bool ok = decoder.feed(bytes.data(), bytes.size(), &messages) && decoder.finish();
  if (clean != nullptr) *clean = ok;
  return messages;
}

std::string transaction_id(const veska::wire::Message &m) {
  if (m.kind != veska::wire::MessageKind::kEvent || !m.event.instance) return "";
  const auto &id = m.event.instance->transaction_id;
  return std::string(id.begin(), id.end());
}

class DispatcherTest : public ClientStateTest {
 protected:
  void SetUp() override {
    fake = &fake_;
    Init("null:x", 16);
    client()->transport.module = &fake_module;  // the null module keeps no state to release
  }
  void Connect() {
    ASSERT_EQ(0, connect_client(&config_, state()));
    ASSERT_EQ(1, state()->connected);
  }
  void Enqueue(const std::string &id, size_t padding = 0) {
    ASSERT_EQ(0, enqueue_test_event(&config_, id, padding));
  }
  FakeTransport fake_;
  // Two 40 KB events; the first connection's send number fail_call fails (earlier sends accept
  // at most max_send bytes). Returns the events the second connection carries, after checking
  // that it decodes cleanly and opens with registration, statistics and heartbeat.
  std::vector<std::string> ResendAfterFailure(uint32_t max_send, int fail_call) {
    std::vector<std::string> ids;
    EXPECT_EQ(0, enqueue_test_event(&config_, "big1", 40000));
    EXPECT_EQ(0, enqueue_test_event(&config_, "big2", 40000));
    EXPECT_EQ(0, connect_client(&config_, state()));
    fake_.max_send = max_send;
    fake_.fail_send_call = fail_call;
    EXPECT_EQ(QIVA_ERR_TRANSPORT, on_writeable(&state()->endpoint));
    EXPECT_EQ(1, fake_.closes);
    __atomic_store_n(&state()->connected, 0, __ATOMIC_RELEASE);
    fake_.max_send = 0xFFFFFFFF;
    EXPECT_EQ(0, connect_client(&config_, state()));
    EXPECT_EQ(0, on_writeable(&state()->endpoint));
    EXPECT_EQ(0u, counter());
    EXPECT_EQ(0u, state()->data_consumed);
    bool clean = false;
    auto messages = decode_all(fake_.connections.at(1), &clean);
    EXPECT_TRUE(clean);
    if (messages.size() < 3) return ids;
    EXPECT_EQ(veska::wire::MessageKind::kRegister, messages[0].kind);
    EXPECT_EQ(veska::wire::MessageKind::kStatistics, messages[1].kind);
    EXPECT_EQ(veska::wire::MessageKind::kHeartbeat, messages[2].kind);
    for (size_t i = 3; i < messages.size(); ++i) ids.push_back(transaction_id(messages[i]));
    return ids;
  }
};

TEST_F(DispatcherTest, DataIsAvailableFromSendBufferCounterOrQueue) {
  EXPECT_EQ(0u, data_is_available(state()));
  set_counter(42);
  EXPECT_EQ(42u, data_is_available(state()));
  state()->data_consumed = 7;
  EXPECT_EQ(1u, data_is_available(state()));
  state()->data_consumed = 0;
  set_counter(0);
  ve_message_buffer_t item = {0, 10, block(10, 0)};
  CCQ_push(&client()->queue, &item, nullptr);
  EXPECT_EQ(1u, data_is_available(state()));
}

TEST_F(DispatcherTest, CheckHeartbeatArmsWhatIsDue) {
  __atomic_store_n(&state()->connected, 1, __ATOMIC_RELEASE);
  state()->last_statistics = 1000;
  state()->last_heartbeat = 1000;
  check_heartbeat(state(), 1014);
  EXPECT_EQ(0u, counter());
  EXPECT_EQ(0u, state()->statistics_buffer.size);

  check_heartbeat(state(), 1015);  // statistics after 15 s, not yet a heartbeat
  EXPECT_EQ(10u, counter());
  EXPECT_EQ(10u, state()->statistics_buffer.size);
  EXPECT_EQ(0u, state()->statistics_buffer.offset);
  EXPECT_EQ(0u, state()->heartbeat_buffer.size);

  check_heartbeat(state(), 1200);  // statistics still pending: only the heartbeat is armed
  EXPECT_EQ(20u, counter());
  EXPECT_EQ(10u, state()->heartbeat_buffer.size);

  // Both copied; a clock gone backwards makes both due at once.
  state()->statistics_buffer.offset = 10;
  state()->heartbeat_buffer.offset = 10;
  state()->last_statistics = 1200;
  state()->last_heartbeat = 1200;
  check_heartbeat(state(), 1199);
  EXPECT_EQ(40u, counter());
  EXPECT_EQ(0u, state()->statistics_buffer.offset);
  EXPECT_EQ(0u, state()->heartbeat_buffer.offset);
}

TEST_F(DispatcherTest, CheckHeartbeatNeedsAConnectionAndACompleteRegistration) {
  check_heartbeat(state(), 100000);  // not connected
  EXPECT_EQ(0u, counter());
  __atomic_store_n(&state()->connected, 1, __ATOMIC_RELEASE);
  format_registration(state());  // armed, not yet copied
  check_heartbeat(state(), 100000);
  EXPECT_EQ(0u, counter());
  state()->register_buffer.offset = state()->register_buffer.size;
  format_statistics(state());
  format_heartbeat(state());  // both pending
  check_heartbeat(state(), 100000);
  EXPECT_EQ(0u, counter());
}

TEST_F(DispatcherTest, GetBufferPreferenceOrder) {
  Enqueue("q1");
  Enqueue("q2");
  EXPECT_EQ(0, format_registration(state()));
  EXPECT_EQ(0, format_statistics(state()));
  EXPECT_EQ(0, format_heartbeat(state()));
  // A partly copied event goes before everything else.
  ASSERT_NE(nullptr, CCQ_pop(&client()->queue, &state()->event_buffer));
  state()->event_buffer.offset = 1;
  EXPECT_EQ(&state()->event_buffer, get_buffer(state()));
  state()->event_buffer.offset = 0;  // not started: after the three control messages
  EXPECT_EQ(&state()->register_buffer, get_buffer(state()));
  state()->register_buffer.offset = 6;
  EXPECT_EQ(&state()->statistics_buffer, get_buffer(state()));
  state()->statistics_buffer.offset = 10;
  EXPECT_EQ(&state()->heartbeat_buffer, get_buffer(state()));
  state()->heartbeat_buffer.offset = 10;
  EXPECT_EQ(&state()->event_buffer, get_buffer(state()));
  VE_memory_pool_free(client()->memory_pool, state()->event_buffer.data);
  state()->event_buffer.offset = state()->event_buffer.size;  // complete: the next is popped
  ve_message_buffer_t *next = get_buffer(state());
  ASSERT_EQ(&state()->event_buffer, next);
  EXPECT_EQ(0u, next->offset);
  VE_memory_pool_free(client()->memory_pool, next->data);
  next->offset = next->size;
  EXPECT_EQ(nullptr, get_buffer(state()));
}

// get_buffer takes one message from the queue per call, whatever the send step does in bulk:
// a program that looks at the queue afterwards finds the rest still there, in order.
TEST_F(DispatcherTest, GetBufferTakesOneMessageFromTheQueue) {
  Enqueue("q1");
  Enqueue("q2");
  Enqueue("q3");
  ASSERT_EQ(&state()->event_buffer, get_buffer(state()));
  VE_memory_pool_free(client()->memory_pool, state()->event_buffer.data);
  ve_message_buffer_t left[2];
  ASSERT_NE(nullptr, CCQ_pop(&client()->queue, &left[0]));
  ASSERT_NE(nullptr, CCQ_pop(&client()->queue, &left[1]));
  EXPECT_EQ(1, CCQ_empty(&client()->queue));
  for (ve_message_buffer_t &message : left)
    VE_memory_pool_free(client()->memory_pool, message.data);
}

TEST_F(DispatcherTest, FlushStatesAddAndDeduct) {
  ve_flush_state_t second = {nullptr, 30, PTHREAD_COND_INITIALIZER, 0};
  ve_flush_state_t first = {&second, 100, PTHREAD_COND_INITIALIZER, 0};
  client()->flush_state = &first;
  increment_flush_states(client(), 5);
  EXPECT_EQ(105u, first.remaining);
  EXPECT_EQ(35u, second.remaining);
  decrement_flush_states(client(), 35);  // equal: satisfied
  EXPECT_EQ(70u, first.remaining);
  EXPECT_EQ(0u, second.remaining);
  decrement_flush_states(client(), 500);
  EXPECT_EQ(0u, first.remaining);
  EXPECT_EQ(0u, second.remaining);
  client()->flush_state = nullptr;
}

TEST_F(DispatcherTest, SatisfiedFlushIsSignalled) {
  ve_flush_state_t flush = {nullptr, 10, PTHREAD_COND_INITIALIZER, 0};
  client()->flush_state = &flush;
  bool waiting = false;
  int woke = -1;
  std::thread waiter([&] {
    pthread_mutex_lock(&client()->dispatch_mutex);
    waiting = true;
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 60;
    int rc = 0;
    while (rc == 0 && flush.remaining != 0) {
      rc = pthread_cond_timedwait(&flush.condition, &client()->dispatch_mutex, &deadline);
    }
    woke = rc;
    pthread_mutex_unlock(&client()->dispatch_mutex);
  });
  for (;;) {
    pthread_mutex_lock(&client()->dispatch_mutex);
    if (waiting) break;
    pthread_mutex_unlock(&client()->dispatch_mutex);
    std::this_thread::yield();
  }
  decrement_flush_states(client(), 4);
  decrement_flush_states(client(), 6);
  pthread_mutex_unlock(&client()->dispatch_mutex);
  waiter.join();
  EXPECT_EQ(0, woke);
  client()->flush_state = nullptr;
}

TEST_F(DispatcherTest, ConnectArmsRegistrationStatisticsAndHeartbeat) {
  const ve_uint32_t connections = VE_statistics_counter_get(VE_STATS_CONNECTIONS_MADE);
  Connect();
  EXPECT_EQ(26u, counter());
  EXPECT_EQ(connections + 1, VE_statistics_counter_get(VE_STATS_CONNECTIONS_MADE));
  EXPECT_EQ(state(), state()->endpoint.userdata);
  EXPECT_EQ(6u, state()->register_buffer.size);
  EXPECT_EQ(10u, state()->statistics_buffer.size);
  EXPECT_EQ(10u, state()->heartbeat_buffer.size);
}

TEST_F(DispatcherTest, ConnectGivesUpAfterRetriesPlusOneAttempts) {
  config_.connect_retries = 2;
  fake_.connect_failures = 3;
  EXPECT_EQ(QIVA_ERR_TIMEDOUT, connect_client(&config_, state()));
  EXPECT_EQ(0, fake_.connect_failures);
  EXPECT_EQ(0, state()->connected);
  fake_.connect_failures = 2;  // the third attempt succeeds
  EXPECT_EQ(0, connect_client(&config_, state()));
  EXPECT_EQ(1, fake_.connects);
}

TEST_F(DispatcherTest, SendStepWritesControlMessagesThenEventsInOrder) {
  Enqueue("e1");
  Enqueue("e2");
  Connect();
  ASSERT_EQ(0, on_writeable(&state()->endpoint));
  EXPECT_EQ(0u, counter());
  EXPECT_EQ(0u, state()->data_consumed);
  EXPECT_EQ(0u, state()->data_offset);
  EXPECT_TRUE(CCQ_empty(&client()->queue));
  ASSERT_EQ(1u, fake_.send_sizes.size());  // one batch, one send
  bool clean = false;
  auto messages = decode_all(fake_.connections.at(0), &clean);
  EXPECT_TRUE(clean);
  ASSERT_EQ(5u, messages.size());
  EXPECT_EQ(veska::wire::MessageKind::kRegister, messages[0].kind);
  EXPECT_EQ(veska::wire::MessageKind::kStatistics, messages[1].kind);
  EXPECT_EQ(veska::wire::MessageKind::kHeartbeat, messages[2].kind);
  EXPECT_EQ("e1", transaction_id(messages[3]));
  EXPECT_EQ("e2", transaction_id(messages[4]));
  EXPECT_NE(0, state()->last_statistics);
  EXPECT_NE(0, state()->last_heartbeat);
}

TEST_F(DispatcherTest, SendBufferHoldsAtMost65535BytesAndPartialWritesContinue) {
  Enqueue("big1", 40000);
  Enqueue("big2", 40000);
  Connect();
  fake_.max_send = 30000;
  ASSERT_EQ(0, on_writeable(&state()->endpoint));
  const size_t total = 26 + 2 * test_event_size("big1", 40000);
  EXPECT_EQ(total, fake_.connections.at(0).size());
  ASSERT_GE(fake_.send_sizes.size(), 2u);
  EXPECT_EQ(65535u, fake_.send_sizes[0]);  // the first write offers a full send buffer
  for (uint32_t size : fake_.send_sizes) EXPECT_LE(size, 65535u);
  bool clean = false;
  auto messages = decode_all(fake_.connections.at(0), &clean);
  EXPECT_TRUE(clean);
  ASSERT_EQ(5u, messages.size());
  EXPECT_EQ("big2", transaction_id(messages[4]));
}

TEST_F(DispatcherTest, EventBlocksComeBackForReuseWithoutMixingEvents) {
  // Rounds of 5 to 14 events in three size classes through a queue of 16: the copied events'
  // blocks go back to the pool together and are taken again by the next, larger round, while
  // the queue's slots wrap. A block handed out twice would carry a later event's bytes in
  // place of a queued one's.
  Connect();
  std::vector<std::string> sent;
  for (int round = 0; round < 10; ++round) {
    for (int i = 0; i < 5 + round; ++i) {
      sent.push_back("r" + std::to_string(round) + "e" + std::to_string(i));
      Enqueue(sent.back(), static_cast<size_t>(i % 3) * 150);
    }
    ASSERT_EQ(0, on_writeable(&state()->endpoint));
  }
  bool clean = false;
  std::vector<std::string> received;
  for (const auto &m : decode_all(fake_.connections.at(0), &clean)) {
    if (m.kind == veska::wire::MessageKind::kEvent) received.push_back(transaction_id(m));
  }
  EXPECT_TRUE(clean);
  EXPECT_EQ(sent, received);
}

TEST_F(DispatcherTest, LostConnectionResendsTheWholeUnwrittenBuffer) {
  // Nothing was written: both events (the second only partly copied) go out again, whole.
  EXPECT_EQ(std::vector<std::string>({"big1", "big2"}), ResendAfterFailure(0xFFFFFFFF, 0));
}

TEST_F(DispatcherTest, LostConnectionResendsFromTheMessageBeingWritten) {
  // 30000 bytes were written, part of big1 among them: big1 goes out again from its start.
  EXPECT_EQ(std::vector<std::string>({"big1", "big2"}), ResendAfterFailure(30000, 1));
}

TEST_F(DispatcherTest, LostConnectionResendsASplitMessageWhole) {
  // The first 65535 bytes (with big2's head) were written; the write of big2's tail fails.
  EXPECT_EQ(std::vector<std::string>({"big2"}), ResendAfterFailure(0xFFFFFFFF, 1));
}

TEST_F(DispatcherTest, LostConnectionMovesWaitingFlushesByWhatIsLeftToWrite) {
  Enqueue("e1");
  Connect();
  ASSERT_EQ(0, on_writeable(&state()->endpoint));  // 26 + e1 written
  Enqueue("e2");
  ve_flush_state_t flush = {nullptr, 1000, PTHREAD_COND_INITIALIZER, 0};
  client()->flush_state = &flush;
  fake_.fail_send_call = fake_.send_calls;
  EXPECT_EQ(QIVA_ERR_TRANSPORT, on_writeable(&state()->endpoint));
  EXPECT_EQ(1000u, flush.remaining);  // e2 is still to be written, nothing was lost
  client()->flush_state = nullptr;
}

TEST_F(DispatcherTest, CounterAboveWhatIsQueuedIsRepaired) {
  Connect();
  ASSERT_EQ(0, on_writeable(&state()->endpoint));
  set_counter(500);  // nothing queued
  EXPECT_EQ(0, on_writeable(&state()->endpoint));
  EXPECT_EQ(0u, counter());
  EXPECT_EQ(1u, fake_.send_sizes.size());
}

}  // namespace
}  // namespace veska_test
