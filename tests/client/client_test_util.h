// A configuration's private state built without a dispatcher thread, for driving the client
// state and the dispatcher's steps directly from a test.
#ifndef VESKA_TESTS_CLIENT_CLIENT_TEST_UTIL_H
#define VESKA_TESTS_CLIENT_CLIENT_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "private_api.h"

namespace veska_test {

class ClientStateTest : public ::testing::Test {
 protected:
  void Init(const char *server, ve_uint16_t queue_size) {
    data_.reset(new ve_config_data_t);
    std::memset(&config_, 0, sizeof config_);
    config_.server = server;
    config_.queue_size = queue_size;
    config_.connect_timeout = 1000;
    config_.connect_retry_interval = 10;
    config_.connect_retries = 1;
    config_.handle = data_.get();
    ASSERT_EQ(0, VE_config_data_init(data_.get(), &config_));
    initialised_ = true;
  }
  void TearDown() override {
    if (initialised_) {
      EXPECT_EQ(0, VE_config_data_destroy(data_.get()));
    }
  }
  ve_client_data_t *client() { return &data_->client_data; }
  dispatcher_state_t *state() { return &data_->client_data.dispatcher_state; }
  ve_uint64_t counter() { return data_->client_data.data_available; }
  void set_counter(ve_uint64_t value) { data_->client_data.data_available = value; }
  // A pool block of size bytes, every byte fill.
  ve_memory_pool_handle_t block(ve_uint16_t size, unsigned char fill) {
    ve_memory_pool_handle_t handle = VE_memory_pool_alloc(client()->memory_pool, size);
    std::memset(VE_memory_pool_data(client()->memory_pool, handle), fill, size);
    return handle;
  }

  qiva_config_t config_;
  std::unique_ptr<ve_config_data_t> data_;
  bool initialised_ = false;
};

}  // namespace veska_test

#endif  // VESKA_TESTS_CLIENT_CLIENT_TEST_UTIL_H
