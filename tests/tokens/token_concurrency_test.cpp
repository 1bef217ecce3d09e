// No two callers anywhere on the host get the same token: threads of one process, two
// configurations of one process on the same token file, and separate processes.
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "tokens/token_fixture.h"

namespace {

constexpr int kWorkers = 4;
constexpr int kPerWorker = 10000;

// Every token is distinct and, the counter starting at 0 with prefix 7, they are exactly the
// values 0 .. n-1 under the prefix.
void ExpectExactRange(std::vector<qiva_int32_t> tokens) {
  std::sort(tokens.begin(), tokens.end());
  ASSERT_EQ(std::adjacent_find(tokens.begin(), tokens.end()), tokens.end()) << "duplicate token";
  for (size_t i = 0; i < tokens.size(); ++i) {
    ASSERT_EQ(static_cast<qiva_int32_t>(0x07000000u + i), tokens[i]) << i;
  }
}

TEST_F(TokenTest, ThreadsOfOneProcessGetDistinctTokens) {
  WriteToken("7");
  HandConfig hand(token_path_);
  std::vector<qiva_int32_t> tokens(kWorkers * kPerWorker);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kPerWorker; ++i) {
        if (QIVA_token(hand.config(), &tokens[w * kPerWorker + i]) != 0) {
          tokens[w * kPerWorker + i] = -1;
        }
      }
    });
  }
  for (auto &t : threads) t.join();
  ExpectExactRange(tokens);
  EXPECT_EQ(static_cast<uint32_t>(kWorkers * kPerWorker), CounterValue());
}

TEST_F(TokenTest, TwoConfigurationsOnOneFileGetDistinctTokens) {
  WriteToken("7");
  HandConfig first(token_path_), second(token_path_);
  std::vector<qiva_int32_t> tokens(kWorkers * kPerWorker);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w) {
    HandConfig *hand = w % 2 == 0 ? &first : &second;
    threads.emplace_back([&, w, hand] {
      for (int i = 0; i < kPerWorker; ++i) {
        if (QIVA_token(hand->config(), &tokens[w * kPerWorker + i]) != 0) {
          tokens[w * kPerWorker + i] = -1;
        }
      }
    });
  }
  for (auto &t : threads) t.join();
  ExpectExactRange(tokens);
}

TEST_F(TokenTest, ProcessesSharingOneFileGetDistinctTokens) {
  WriteToken("7");
  std::vector<pid_t> children;
  for (int w = 0; w < kWorkers; ++w) {
    std::string out = dir_ + "/tokens." + std::to_string(w);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // The child reports only through its file and exit status.
      std::vector<qiva_int32_t> mine(kPerWorker);
      int status = 0;
      {
        HandConfig hand(token_path_);
        for (int i = 0; i < kPerWorker && status == 0; ++i) {
          if (QIVA_token(hand.config(), &mine[i]) != 0) status = 1;
        }
      }
      FILE *f = fopen(out.c_str(), "wb");
      if (f == nullptr || fwrite(mine.data(), sizeof mine[0], mine.size(), f) != mine.size()) {
        status = 2;
      }
      if (f != nullptr && fclose(f) != 0) status = 2;
      _exit(status);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::vector<qiva_int32_t> tokens;
  for (int w = 0; w < kWorkers; ++w) {
    FILE *f = fopen((dir_ + "/tokens." + std::to_string(w)).c_str(), "rb");
    ASSERT_NE(nullptr, f);
    std::vector<qiva_int32_t> part(kPerWorker);
    EXPECT_EQ(part.size(), fread(part.data(), sizeof part[0], part.size(), f));
    fclose(f);
    tokens.insert(tokens.end(), part.begin(), part.end());
  }
  ExpectExactRange(tokens);
  EXPECT_EQ(static_cast<uint32_t>(kWorkers * kPerWorker), CounterValue());
}

// A child forked while another thread is inside a token section must not inherit the
// section's mutex held.
TEST_F(TokenTest, ForkDuringTokenTrafficLeavesTheChildUsable) {
  WriteToken("7");
  HandConfig hand(token_path_);
  qiva_int32_t token = 0;
  ASSERT_EQ(0, QIVA_token(hand.config(), &token));
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    qiva_int32_t t;
    for (int i = 0; i < 1000000 && !stop.load(); ++i) QIVA_token(hand.config(), &t);
  });
  std::vector<pid_t> children;
  for (int i = 0; i < 5; ++i) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      qiva_int32_t t;
      _exit(QIVA_token(hand.config(), &t) == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  stop.store(true);
  busy.join();
}

}  // namespace
