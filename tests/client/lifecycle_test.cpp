// Starting and stopping configurations, their defaults, the callbacks and the public flush.
// The "null" transport runs the whole client without a network.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "private_api.h"
#include "support/capture_logger.h"
#include "support/client_events.h"

namespace veska_test {
namespace {

struct CallbackCall {
  int which;
  bool init;
  qiva_config_t *config;
  int result;
};
std::vector<CallbackCall> calls;

template <int N>
void _on_init(qiva_config_t *config, int result) {
  calls.push_back({N, true, config, result});
}
template <int N>
void _on_shutdown(qiva_config_t *config, int result) {
  calls.push_back({N, false, config, result});
}

qiva_config_t null_config() {
  qiva_config_t config;
  std::memset(&config, 0, sizeof config);
  config.server = "null:x";
  return config;
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override { calls.clear(); }
};

TEST_F(LifecycleTest, ZeroRecordTakesTheDefaults) {
  qiva_config_t config;
  std::memset(&config, 0, sizeof config);
  ASSERT_EQ(0, QIVA_init(&config));
  ASSERT_NE(nullptr, config.server);
  EXPECT_STREQ("tcp:127.0.0.1:5455", config.server);
  EXPECT_EQ(30000u, config.connect_timeout);
  EXPECT_EQ(0u, config.connect_retries);
  EXPECT_EQ(5000u, config.connect_retry_interval);
  EXPECT_EQ(1000u, config.queue_size);
  EXPECT_EQ(nullptr, config.token_filename);
  EXPECT_NE(nullptr, config.handle);
  // Nothing was tracked, so nothing connects, and the stop does not wait for a collector.
  EXPECT_EQ(0, QIVA_shutdown(&config));
  EXPECT_EQ(nullptr, config.handle);
}

TEST_F(LifecycleTest, ChosenValuesAreKept) {
  qiva_config_t config = null_config();
  config.connect_timeout = 10;
  config.connect_retries = 3;
  config.connect_retry_interval = 20;
  config.queue_size = 7;
  ASSERT_EQ(0, QIVA_init(&config));
  EXPECT_STREQ("null:x", config.server);
  EXPECT_EQ(10u, config.connect_timeout);
  EXPECT_EQ(3u, config.connect_retries);
  EXPECT_EQ(20u, config.connect_retry_interval);
  EXPECT_EQ(7u, static_cast<ve_config_data_t *>(config.handle)->client_data.queue.size);
  EXPECT_EQ(0, QIVA_shutdown(&config));
}

TEST_F(LifecycleTest, InitTwiceAndShutdownTwice) {
  const bool captured = install_capture_logger();
  qiva_callbacks_t callbacks = {_on_init<1>, _on_shutdown<1>};
  ASSERT_EQ(0, QIVA_register_callbacks(&callbacks));
  qiva_config_t config = null_config();
  qiva_config_t other = null_config();
  ASSERT_EQ(0, QIVA_init(&config));
  void *handle = config.handle;
  EXPECT_EQ(QIVA_ERR_LOGIC, QIVA_init(&config));
  EXPECT_EQ(handle, config.handle);
  EXPECT_EQ(0, QIVA_init(&other));  // a different record is a different configuration
  EXPECT_EQ(0, QIVA_shutdown(&config));
  EXPECT_EQ(QIVA_ERR_LOGIC, QIVA_shutdown(&config));
  EXPECT_EQ(0, QIVA_shutdown(&other));
  EXPECT_EQ(0, QIVA_deregister_callbacks(&callbacks));

  ASSERT_EQ(6u, calls.size());
  const int results[] = {0, QIVA_ERR_LOGIC, 0, 0, QIVA_ERR_LOGIC, 0};
  const bool inits[] = {true, true, true, false, false, false};
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(results[i], calls[i].result) << i;
    EXPECT_EQ(inits[i], calls[i].init) << i;
  }
  EXPECT_EQ(&config, calls[0].config);
  EXPECT_EQ(&other, calls[2].config);
  if (captured) {
    EXPECT_EQ(1u, count_captured("VESKA is already initialised"));
    EXPECT_EQ(1u, count_captured("VESKA is not initialised"));
  }
}

TEST_F(LifecycleTest, RecordCanBeStartedAgainAfterShutdown) {
  qiva_config_t config = null_config();
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(0, QIVA_init(&config));
    ASSERT_EQ(0, enqueue_test_event(&config, "again"));
    EXPECT_EQ(0, QIVA_shutdown(&config));
  }
}

TEST_F(LifecycleTest, NullAndInactiveRecords) {
  qiva_callbacks_t callbacks = {_on_init<1>, _on_shutdown<1>};
  ASSERT_EQ(0, QIVA_register_callbacks(&callbacks));
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_init(nullptr));
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_shutdown(nullptr));
  qiva_config_t never;
  std::memset(&never, 0, sizeof never);
  EXPECT_EQ(QIVA_ERR_LOGIC, QIVA_shutdown(&never));
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_flush(nullptr, nullptr));
  EXPECT_EQ(QIVA_ERR_LOGIC, QIVA_flush(&never, nullptr));
  EXPECT_EQ(0, QIVA_deregister_callbacks(&callbacks));
  ASSERT_EQ(3u, calls.size());
  EXPECT_TRUE(calls[0].init);
  EXPECT_EQ(nullptr, calls[0].config);
  EXPECT_EQ(QIVA_ERR_INVALID, calls[0].result);
  EXPECT_EQ(nullptr, calls[1].config);
  EXPECT_EQ(&never, calls[2].config);
  EXPECT_EQ(QIVA_ERR_LOGIC, calls[2].result);
}

TEST_F(LifecycleTest, FailedInitLeavesTheRecordInactive) {
  qiva_callbacks_t callbacks = {_on_init<1>, nullptr};
  ASSERT_EQ(0, QIVA_register_callbacks(&callbacks));
  qiva_config_t config = null_config();
  config.server = "no-colon";
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_init(&config));
  EXPECT_EQ(nullptr, config.handle);
  EXPECT_EQ(1000u, config.queue_size);  // defaults written before the failure stay
  config.server = "bogus:x";
  EXPECT_EQ(QIVA_ERR_INVALID, QIVA_init(&config));
  EXPECT_EQ(QIVA_ERR_LOGIC, QIVA_shutdown(&config));
  EXPECT_EQ(0, QIVA_deregister_callbacks(&callbacks));
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ(QIVA_ERR_INVALID, calls[1].result);
}

TEST_F(LifecycleTest, CallbacksRunNewestFirstAndDeregisterNewestRegistration) {
  const bool captured = install_capture_logger();
  qiva_callbacks_t first = {_on_init<1>, _on_shutdown<1>};
  qiva_callbacks_t second = {_on_init<2>, nullptr};
  qiva_callbacks_t third = {_on_init<3>, _on_shutdown<3>};
  EXPECT_EQ(QIVA_ERR_LOGIC, QIVA_deregister_callbacks(&first));  // none registered
  ASSERT_EQ(0, QIVA_register_callbacks(&first));
  ASSERT_EQ(0, QIVA_register_callbacks(&second));
  ASSERT_EQ(0, QIVA_register_callbacks(&third));
  ASSERT_EQ(0, QIVA_register_callbacks(nullptr));  // stored, never called

  qiva_config_t config = null_config();
  ASSERT_EQ(0, QIVA_init(&config));
  ASSERT_EQ(0, QIVA_shutdown(&config));
  ASSERT_EQ(5u, calls.size());
  EXPECT_EQ(3, calls[0].which);
  EXPECT_EQ(2, calls[1].which);
  EXPECT_EQ(1, calls[2].which);
  EXPECT_EQ(3, calls[3].which);
  EXPECT_FALSE(calls[3].init);
  EXPECT_EQ(1, calls[4].which);

  EXPECT_EQ(0, QIVA_deregister_callbacks(&first));  // the last node of the list
  EXPECT_EQ(QIVA_ERR_LOGIC, QIVA_deregister_callbacks(&first));
  EXPECT_EQ(0, QIVA_deregister_callbacks(&third));
  EXPECT_EQ(0, QIVA_deregister_callbacks(nullptr));
  // A record registered twice is called twice and removed one registration at a time.
  ASSERT_EQ(0, QIVA_register_callbacks(&second));
  calls.clear();
  ASSERT_EQ(0, QIVA_init(&config));
  ASSERT_EQ(0, QIVA_shutdown(&config));
  EXPECT_EQ(2u, calls.size());
  EXPECT_EQ(0, QIVA_deregister_callbacks(&second));
  EXPECT_EQ(0, QIVA_deregister_callbacks(&second));
  EXPECT_EQ(QIVA_ERR_LOGIC, QIVA_deregister_callbacks(&second));  // the list is empty again
  if (captured) {
    // Once before the first registration, once after the last one went.
    EXPECT_EQ(2u, count_captured("No callbacks registered"));
    EXPECT_EQ(1u, count_captured("Could not find callbacks"));
  }
}

TEST_F(LifecycleTest, FlushWaitsForQueuedDataAndReturnsAtOnceWithNothingPending) {
  qiva_config_t config = null_config();
  ASSERT_EQ(0, QIVA_init(&config));
  qiva_time_t generous = {60, 0};
  EXPECT_EQ(0, QIVA_flush(&config, &generous));  // nothing pending
  for (int i = 0; i < 50; ++i) ASSERT_EQ(0, enqueue_test_event(&config, "f" + std::to_string(i)));
  EXPECT_EQ(0, QIVA_flush(&config, &generous));
  auto *data = static_cast<ve_config_data_t *>(config.handle);
  EXPECT_EQ(0u, data_is_available(&data->client_data.dispatcher_state));
  EXPECT_EQ(0, QIVA_shutdown(&config));
}

TEST_F(LifecycleTest, InitLogsTheConfigurationInEffect) {
  ASSERT_TRUE(install_capture_logger());
  qiva_config_t config = null_config();
  config.connect_timeout = 1234;
  ASSERT_EQ(0, QIVA_init(&config));
  EXPECT_EQ(1u, count_captured("config.server: null:x"));
  EXPECT_EQ(1u, count_captured("config.connect_timeout: 1234"));
  EXPECT_EQ(1u, count_captured("config.connect_retries: infinite"));
  EXPECT_EQ(1u, count_captured("config.connect_retry_interval: 5000"));
  EXPECT_EQ(1u, count_captured("config.token_filename: (null)"));
  EXPECT_EQ(1u, count_captured("config.queue_size: 1000"));
  EXPECT_EQ(0, QIVA_shutdown(&config));
}

// The logger variable is chosen once per process, so these run in fresh processes.
void _expect_veska_when_unset() {
  unsetenv("QIVA_LOGGER");
  qiva_callbacks_t callbacks = {nullptr, nullptr};
  QIVA_register_callbacks(&callbacks);
  const char *value = getenv("QIVA_LOGGER");
  std::exit(value != nullptr && std::strcmp(value, "veska") == 0 ? 0 : 1);
}

void _expect_empty_value_kept() {
  setenv("QIVA_LOGGER", "", 1);
  qiva_config_t config = null_config();
  QIVA_init(&config);
  QIVA_shutdown(&config);
  const char *value = getenv("QIVA_LOGGER");
  std::exit(value != nullptr && value[0] == '\0' ? 0 : 1);
}

TEST(LoggerVariable, SetToVeskaWhenUnset) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_expect_veska_when_unset(), ::testing::ExitedWithCode(0), "");
}

TEST(LoggerVariable, EmptyValueIsLeftAlone) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_expect_empty_value_kept(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace veska_test
