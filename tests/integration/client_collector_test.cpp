// The library's client against veska-collector over loopback TCP: connection set-up and the
// order of the stream, batching, drops while no collector listens, lost connections,
// exhausted retries, flush time-outs, several configurations and the callbacks.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "private_api.h"
#include "support/capture_logger.h"
#include "support/client_events.h"
#include "support/collector_process.h"

namespace veska_test {
namespace {

using nlohmann::json;

// A loopback port that refuses connections: bound, never listening, kept until release().
class RefusingPort {
 public:
  RefusingPort() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length);
    port_ = ntohs(address.sin_port);
    server_ = "tcp:127.0.0.1:" + std::to_string(port_);
  }
  ~RefusingPort() { release(); }
  void release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  uint16_t port() const { return port_; }
  const char *server() const { return server_.c_str(); }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::string server_;
};

qiva_config_t make_config(const char *server) {
  qiva_config_t config;
  std::memset(&config, 0, sizeof config);
  config.server = server;
  config.connect_timeout = 5000;
  config.connect_retry_interval = 50;
  return config;
}

std::string transaction_id(const json &event) {
  if (!event.contains("instance")) return "";
  const json &id = event["instance"]["transaction_id"];
  return id.is_string() ? id.get<std::string>() : "";
}

std::vector<std::string> event_ids(const CollectorRecords &events) {
  std::vector<std::string> ids;
  for (const json &event : events) ids.push_back(transaction_id(event));
  return ids;
}

CollectorRecords of_connection(const CollectorRecords &records, int connection) {
  CollectorRecords selected;
  for (const json &record : records) {
    if (record["connection"] == connection) selected.push_back(record);
  }
  return selected;
}

qiva_time_t seconds(ve_uint32_t s) { return qiva_time_t{s, 0}; }

class ClientCollectorTest : public ::testing::Test {
 protected:
  // A test that stops early still shuts its configurations down; the records live here so
  // that they outlive the test body.
  void TearDown() override {
    for (qiva_config_t &config : configs_) {
      if (config.handle != nullptr) QIVA_shutdown(&config);
    }
  }
  qiva_config_t &Config(const char *server) {
    servers_.push_back(server);
    configs_.push_back(make_config(servers_.back().c_str()));
    return configs_.back();
  }
  void Start(qiva_config_t *config) { ASSERT_EQ(0, QIVA_init(config)); }
  // Starts a configuration to collector and waits for its first event, "opener", so that it is
  // connected; then enqueues `count` events "<prefix><i>" (with `padding`) and waits for them
  // all. expected_ receives the ids sent, opener first.
  void SendOnceConnected(CollectorProcess *collector, const std::string &prefix, int count,
                         size_t padding = 0) {
    ASSERT_TRUE(collector->start()) << collector->error();
    qiva_config_t &config = Config(collector->server_c_str());
    Start(&config);
    ASSERT_EQ(0, enqueue_test_event(&config, "opener"));
    ASSERT_TRUE(collector->wait_for("event", 1));
    expected_ = {"opener"};
    for (int i = 0; i < count; ++i) {
      expected_.push_back(prefix + std::to_string(i));
      ASSERT_EQ(0, enqueue_test_event(&config, expected_.back(), padding));
    }
    ASSERT_TRUE(collector->wait_for("event", expected_.size()));
  }
  std::vector<std::string> expected_;
  std::deque<std::string> servers_;
  std::deque<qiva_config_t> configs_;
};

TEST_F(ClientCollectorTest, FirstEventConnectsAndTheConnectionOpensWithRegistration) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start()) << collector.error();
  qiva_config_t &config = Config(collector.server_c_str());
  Start(&config);
  ASSERT_EQ(0, QIVA_flush(&config, nullptr));  // nothing pending: no connection is made
  ASSERT_EQ(0, enqueue_test_event(&config, "first"));
  ASSERT_TRUE(collector.wait_for("event", 1));

  CollectorRecords all = collector.records();
  ASSERT_GE(all.size(), 4u);
  EXPECT_EQ("register", all[0]["kind"]);
  EXPECT_EQ(0, all[0]["offset"]);
  EXPECT_EQ("statistics", all[1]["kind"]);
  EXPECT_EQ(6, all[1]["offset"]);
  EXPECT_GE(all[1]["connections_made"].get<int>(), 1);
  EXPECT_EQ("heartbeat", all[2]["kind"]);
  EXPECT_EQ(16, all[2]["offset"]);
  EXPECT_EQ("event", all[3]["kind"]);
  EXPECT_EQ(26, all[3]["offset"]);
  EXPECT_EQ("first", transaction_id(all[3]));
  EXPECT_EQ("HERE", all[3]["type_name"]);
  EXPECT_EQ(1000, all[3]["seconds"]);
  EXPECT_EQ(250, all[3]["microseconds"]);
  for (const json &record : all) EXPECT_EQ(1, record["connection"]);

  EXPECT_EQ(0, QIVA_shutdown(&config));
  EXPECT_EQ(0, collector.stop());
}

TEST_F(ClientCollectorTest, EventsAreWrittenWithinTheBatchingSecondWithoutAFlush) {
  CollectorProcess collector;
  // Once connected, these small events only wait for the dispatcher's next whole second.
  ASSERT_NO_FATAL_FAILURE(SendOnceConnected(&collector, "batched-", 20));
  EXPECT_EQ(expected_, event_ids(collector.records("event")));
  EXPECT_EQ(0, QIVA_shutdown(&configs_.back()));
  EXPECT_EQ(0, collector.stop());
}

TEST_F(ClientCollectorTest, MoreThanASendBufferOfEventsArrivesWholeAndInOrder) {
  CollectorProcess collector;
  // 65535 waiting bytes wake a connected dispatcher at once (see the unit test of the
  // counter); here the bytes are checked: five 30000-byte events span several writes.
  ASSERT_NO_FATAL_FAILURE(SendOnceConnected(&collector, "large-", 5, 30000));
  CollectorRecords events = collector.records("event");
  EXPECT_EQ(expected_, event_ids(events));
  for (size_t i = 1; i < events.size(); ++i) {
    ASSERT_TRUE(events[i].contains("horizontal_context"));
    EXPECT_EQ(std::string(30000, 'p'), events[i]["horizontal_context"][0]["value"]);
    EXPECT_EQ(test_event_size("large-0", 30000), events[i]["length"].get<size_t>());
  }
  EXPECT_EQ(0, QIVA_shutdown(&configs_.back()));
  EXPECT_EQ(0, collector.stop());
}

TEST_F(ClientCollectorTest, SteadyTrafficIsWrittenAsBuffersFillNotAtTheWholeSecond) {
  // 10 000 events of about 300 bytes per second, a send buffer every 20 ms or so: the
  // dispatcher soon looks for full buffers by itself instead of being woken. Full buffers left
  // waiting for the whole second would overflow the queue of 4096 (0.4 s of events) and drop;
  // none may.
  CollectorProcess collector;
  ASSERT_TRUE(collector.start()) << collector.error();
  qiva_config_t &config = Config(collector.server_c_str());
  config.queue_size = 4096;
  Start(&config);
  const ve_uint32_t dropped_before = VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED);
  std::vector<std::string> expected;
  auto due = std::chrono::steady_clock::now();
  for (int i = 0; i < 15000; ++i) {
    expected.push_back("steady-" + std::to_string(i));
    ASSERT_EQ(0, enqueue_test_event(&config, expected.back(), 200));
    due += std::chrono::microseconds(100);
    std::this_thread::sleep_until(due);
  }
  qiva_time_t generous = seconds(60);
  EXPECT_EQ(0, QIVA_flush(&config, &generous));
  ASSERT_EQ(dropped_before, VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED));
  ASSERT_TRUE(collector.wait_for("event", expected.size()));
  EXPECT_EQ(expected, event_ids(collector.records("event")));
  EXPECT_EQ(0, QIVA_shutdown(&config));
  EXPECT_EQ(0, collector.stop());
}

TEST_F(ClientCollectorTest, FullQueueKeepsTheNewestEventsUntilACollectorListens) {
  RefusingPort port;
  qiva_config_t &config = Config(port.server());
  config.queue_size = 5;
  config.connect_retries = 0;  // for ever
  Start(&config);
  const ve_uint32_t dropped_before = VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED);
  for (int i = 0; i < 12; ++i) ASSERT_EQ(0, enqueue_test_event(&config, "d" + std::to_string(i)));

  port.release();
  CollectorProcess collector;
  ASSERT_TRUE(collector.start({}, port.address())) << collector.error();
  ASSERT_TRUE(collector.wait_for("event", 5));
  qiva_time_t generous = seconds(60);
  EXPECT_EQ(0, QIVA_flush(&config, &generous));
  EXPECT_EQ(0, QIVA_shutdown(&config));
  EXPECT_EQ(0, collector.stop());

  CollectorRecords events = collector.records("event");
  EXPECT_EQ((std::vector<std::string>{"d7", "d8", "d9", "d10", "d11"}), event_ids(events));
  CollectorRecords statistics = collector.records("statistics");
  ASSERT_FALSE(statistics.empty());
  EXPECT_EQ(dropped_before + 7, statistics[0]["events_dropped"].get<ve_uint32_t>());
}

TEST_F(ClientCollectorTest, EveryConnectionAfterALostOneStartsWithRegistration) {
  CollectorProcess collector;
  // The first connection is cut after 1000 bytes, in the middle of an event.
  ASSERT_TRUE(collector.start({"--close-after", "1000"})) << collector.error();
  qiva_config_t &config = Config(collector.server_c_str());
  config.connect_retries = 0;
  Start(&config);
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(0, enqueue_test_event(&config, "early-" + std::to_string(i), 60));
  }
  qiva_time_t generous = seconds(60);
  ASSERT_EQ(0, QIVA_flush(&config, &generous));
  // The dispatcher learns of the cut at its next write; keep writing until it reconnects. A
  // loaded machine may run the collector's cut long after the flushes returned, so the bound
  // is time, with a pause between writes that leaves the collector room to run.
  int sent = 0;
  bool reconnected = false;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (; std::chrono::steady_clock::now() < give_up && !reconnected; ++sent) {
    ASSERT_EQ(0, enqueue_test_event(&config, "late-" + std::to_string(sent), 60));
    ASSERT_EQ(0, QIVA_flush(&config, &generous));
    reconnected = !of_connection(collector.records("register"), 2).empty();
    if (!reconnected) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(reconnected);
  ASSERT_EQ(0, enqueue_test_event(&config, "last", 60));
  ASSERT_EQ(0, QIVA_flush(&config, &generous));
  ASSERT_TRUE(collector.wait_until([](const CollectorRecords &all) {
    for (const json &record : all) {
      if (transaction_id(record) == "last") return true;
    }
    return false;
  }));
  EXPECT_EQ(0, QIVA_shutdown(&config));
  EXPECT_EQ(0, collector.stop());  // 0: no protocol error on any connection

  CollectorRecords all = collector.records();
  std::set<int> connections;
  for (const json &record : all) connections.insert(record["connection"].get<int>());
  for (int connection : connections) {
    CollectorRecords records = of_connection(all, connection);
    ASSERT_GE(records.size(), 1u);
    EXPECT_EQ("register", records[0]["kind"]) << "connection " << connection;
    EXPECT_EQ(0, records[0]["offset"]);
    if (connection > 1 && records.size() >= 3) {
      EXPECT_EQ("statistics", records[1]["kind"]);
      EXPECT_EQ("heartbeat", records[2]["kind"]);
    }
  }
  // Every event that arrived is whole: its padding is intact and no id appears twice.
  std::set<std::string> seen;
  for (const json &event : collector.records("event")) {
    std::string id = transaction_id(event);
    EXPECT_TRUE(seen.insert(id).second) << id;
    EXPECT_EQ(std::string(60, 'p'), event["horizontal_context"][0]["value"]) << id;
  }
  EXPECT_TRUE(seen.count("last"));
  EXPECT_TRUE(collector.records("protocol_error").empty());
}

TEST_F(ClientCollectorTest, ExhaustedRetriesStopTheDispatcherWith28) {
  const bool captured = install_capture_logger();
  RefusingPort port;
  qiva_config_t &config = Config(port.server());
  config.connect_retries = 2;
  Start(&config);
  ASSERT_EQ(0, enqueue_test_event(&config, "never-sent"));
  // Returns once the dispatcher has given up, without a time-out of its own.
  EXPECT_EQ(0, QIVA_flush(&config, nullptr));
  auto *data = static_cast<ve_config_data_t *>(config.handle);
  EXPECT_EQ(1, __atomic_load_n(&data->client_data.dispatcher_state.exited, __ATOMIC_ACQUIRE));
  EXPECT_EQ(0, QIVA_flush(&config, nullptr));  // after the stop: at once
  EXPECT_EQ(QIVA_ERR_TIMEDOUT, QIVA_shutdown(&config));
  EXPECT_EQ(nullptr, config.handle);
  if (captured) {
    EXPECT_EQ(3u, count_captured("Initiating connection to '" + std::string(port.server()) + "'"));
    EXPECT_EQ(1u, count_captured("Connection retry count exceeded"));
    EXPECT_GE(count_captured("VE_flush_client called after dispatcher exited"), 1u);
  }
}

TEST_F(ClientCollectorTest, FlushTimeOutsAsDurationAndAsAbsoluteTime) {
  RefusingPort port;
  qiva_config_t &config = Config(port.server());
  config.connect_retries = 0;  // keeps retrying: the data stays pending
  Start(&config);
  ASSERT_EQ(0, enqueue_test_event(&config, "pending"));

  qiva_time_t duration = {0, 300000};  // seconds below now: 0.3 s from now
  EXPECT_EQ(QIVA_ERR_TIMEDOUT, QIVA_flush(&config, &duration));
  qiva_time_t now = {0, 0};
  QIVA_time(&now);
  qiva_time_t absolute = {now.sec + 1, now.usec};
  EXPECT_EQ(QIVA_ERR_TIMEDOUT, QIVA_flush(&config, &absolute));
  qiva_time_t after = {0, 0};
  QIVA_time(&after);
  EXPECT_GE(static_cast<double>(after.sec) + after.usec / 1e6,
            static_cast<double>(now.sec) + 1 + now.usec / 1e6 - 0.01);
  // An absolute time already over within the current second: seconds equal to now's are
  // absolute, so keep clear of a second boundary while building it.
  qiva_time_t current = {0, 0};
  for (int i = 0; i < 1000 && QIVA_time(&current)->usec > 800000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_LE(current.usec, 800000u);
  qiva_time_t passed = {current.sec, 0};
  EXPECT_EQ(QIVA_ERR_TIMEDOUT, QIVA_flush(&config, &passed));
  auto *data = static_cast<ve_config_data_t *>(config.handle);
  EXPECT_NE(0u, data_is_available(&data->client_data.dispatcher_state));  // still queued
  // With unlimited retries a shutdown ends the series after the attempt under way.
  EXPECT_EQ(QIVA_ERR_TIMEDOUT, QIVA_shutdown(&config));
}

TEST_F(ClientCollectorTest, SeveralConfigurationsEachWithItsOwnCollector) {
  const int kConfigurations = 3;
  CollectorProcess collectors[kConfigurations];
  qiva_config_t *configs[kConfigurations];
  for (int c = 0; c < kConfigurations; ++c) {
    ASSERT_TRUE(collectors[c].start()) << collectors[c].error();
    configs[c] = &Config(collectors[c].server_c_str());
    Start(configs[c]);
  }
  std::vector<std::string> expected[kConfigurations];
  for (int i = 0; i < 10; ++i) {
    for (int c = 0; c < kConfigurations; ++c) {
      expected[c].push_back("c" + std::to_string(c) + "-" + std::to_string(i));
      ASSERT_EQ(0, enqueue_test_event(configs[c], expected[c].back()));
    }
  }
  qiva_time_t generous = seconds(60);
  for (int c = 0; c < kConfigurations; ++c) EXPECT_EQ(0, QIVA_flush(configs[c], &generous));
  for (int c = 0; c < kConfigurations; ++c) {
    ASSERT_TRUE(collectors[c].wait_for("event", 10));
    EXPECT_EQ(0, QIVA_shutdown(configs[c]));
    EXPECT_EQ(0, collectors[c].stop());
    EXPECT_EQ(expected[c], event_ids(collectors[c].records("event")));
    EXPECT_EQ(1u, collectors[c].records("register").size());
  }
}

struct Observed {
  std::vector<std::string> calls;
  CollectorProcess *collector = nullptr;
};
Observed observed;

void _first_init(qiva_config_t *config, int result) {
  observed.calls.push_back("first init " + std::to_string(result));
  if (result == 0) {
    // A callback may queue and flush; it must not start or stop configurations.
    enqueue_test_event(config, "from-callback");
    qiva_time_t generous = seconds(60);
    observed.calls.push_back("flush " + std::to_string(QIVA_flush(config, &generous)));
  }
}
void _first_shutdown(qiva_config_t *config, int result) {
  observed.calls.push_back("first shutdown " + std::to_string(result) +
                           (config->handle == nullptr ? " inactive" : " active"));
}
void _second_init(qiva_config_t *, int result) {
  observed.calls.push_back("second init " + std::to_string(result));
}
void _second_shutdown(qiva_config_t *, int result) {
  observed.calls.push_back("second shutdown " + std::to_string(result));
}

TEST_F(ClientCollectorTest, CallbacksSeeEveryStartAndStopNewestFirst) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start()) << collector.error();
  observed.calls.clear();
  qiva_callbacks_t first = {_first_init, _first_shutdown};
  qiva_callbacks_t second = {_second_init, _second_shutdown};
  ASSERT_EQ(0, QIVA_register_callbacks(&first));
  ASSERT_EQ(0, QIVA_register_callbacks(&second));

  qiva_config_t &config = Config(collector.server_c_str());
  ASSERT_EQ(0, QIVA_init(&config));
  ASSERT_TRUE(collector.wait_for("event", 1));
  EXPECT_EQ("from-callback", transaction_id(collector.records("event")[0]));
  EXPECT_EQ(0, QIVA_shutdown(&config));

  RefusingPort port;
  qiva_config_t &unreachable = Config(port.server());
  unreachable.connect_retries = 1;
  ASSERT_EQ(0, QIVA_init(&unreachable));  // the first callback queues an event it cannot send
  EXPECT_EQ(QIVA_ERR_TIMEDOUT, QIVA_shutdown(&unreachable));

  EXPECT_EQ(0, QIVA_deregister_callbacks(&first));
  EXPECT_EQ(0, QIVA_deregister_callbacks(&second));
  EXPECT_EQ(
      (std::vector<std::string>{"second init 0", "first init 0", "flush 0", "second shutdown 0",
                                "first shutdown 0 inactive", "second init 0", "first init 0",
                                "flush 0", "second shutdown 28", "first shutdown 28 inactive"}),
      observed.calls);
  EXPECT_EQ(0, collector.stop());
}

TEST_F(ClientCollectorTest, CollectorExitsByItselfAfterCountEvents) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start({"--count", "20", "--summary"})) << collector.error();
  qiva_config_t &config = Config(collector.server_c_str());
  Start(&config);
  for (int i = 0; i < 25; ++i) ASSERT_EQ(0, enqueue_test_event(&config, "n" + std::to_string(i)));
  EXPECT_EQ(0, collector.wait_exit());
  CollectorRecords events = collector.records("event");
  ASSERT_EQ(20u, events.size());
  EXPECT_EQ("n19", transaction_id(events.back()));
  std::string summary_text = collector.stderr_text();
  json summary = json::parse(summary_text, nullptr, false);
  ASSERT_FALSE(summary.is_discarded()) << summary_text;
  EXPECT_EQ(20, summary["messages"]["event"]);
  EXPECT_EQ(1, summary["connections"]);
  EXPECT_EQ(0, summary["protocol_errors"]);
  // The rest cannot be written any more: the shutdown still ends (with the dispatcher's
  // own verdict on the lost connection) instead of hanging.
  int rc = QIVA_shutdown(&config);
  EXPECT_TRUE(rc == 0 || rc == QIVA_ERR_TIMEDOUT) << rc;
}

}  // namespace
}  // namespace veska_test
