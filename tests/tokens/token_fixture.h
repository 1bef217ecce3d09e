// A temporary directory with a token file, and configurations built by hand around it, so the
// token logic is tested without the rest of the lifecycle.
#ifndef VESKA_TESTS_TOKENS_TOKEN_FIXTURE_H
#define VESKA_TESTS_TOKENS_TOKEN_FIXTURE_H

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "private_api.h"

// One activation's private record, set up as the lifecycle sets it up, and torn down as
// shutdown tears it down.
class HandConfig {
 public:
  explicit HandConfig(const std::string &token_path) : path_(token_path) {
    data_ = static_cast<ve_config_data_t *>(calloc(1, sizeof(ve_config_data_t)));
    data_->token_init_once = VE_ONCE_INIT;
    data_->counter_init_once = VE_ONCE_INIT;
    data_->token_fd = -1;
    data_->counter_file = -1;
    config_.handle = data_;
    config_.token_filename = path_.c_str();
  }
  ~HandConfig() {
    if (data_->token_init_once.initialised) QIVA_flock_close(data_->token_fd);
    if (data_->counter_address != nullptr) QIVA_shared_counter_release(data_);
    free(data_);
  }
  HandConfig(const HandConfig &) = delete;
  HandConfig &operator=(const HandConfig &) = delete;
  qiva_config_t *config() { return &config_; }
  ve_config_data_t *data() { return data_; }

 private:
  std::string path_;
  qiva_config_t config_{};
  ve_config_data_t *data_;
};

class TokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/veska_tokens_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    token_path_ = dir_ + "/token";
    counter_path_ = token_path_ + ".ctr";
  }
  void TearDown() override {
    nftw(
        dir_.c_str(),
        [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  static void WriteFile(const std::string &path, const void *bytes, size_t size) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(size, fwrite(bytes, 1, size, f));
    fclose(f);
  }
  void WriteToken(const std::string &text) { WriteFile(token_path_, text.data(), text.size()); }
  void WriteCounter(uint32_t value) { WriteFile(counter_path_, &value, sizeof value); }
  std::vector<unsigned char> ReadCounterFile() {
    std::vector<unsigned char> bytes;
    FILE *f = fopen(counter_path_.c_str(), "rb");
    if (f == nullptr) return bytes;
    int c;
    while ((c = fgetc(f)) != EOF) bytes.push_back(static_cast<unsigned char>(c));
    fclose(f);
    return bytes;
  }
  uint32_t CounterValue() {
    std::vector<unsigned char> bytes = ReadCounterFile();
    uint32_t value = 0xDEADBEEF;
    if (bytes.size() >= 4) memcpy(&value, bytes.data(), 4);
    return value;
  }

  std::string dir_, token_path_, counter_path_;
};

#endif  // VESKA_TESTS_TOKENS_TOKEN_FIXTURE_H
