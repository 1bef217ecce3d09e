// Exported functions given a value they do not own: each answers with its documented result,
// in a child process of its own so that a crash fails only its row.
#include <gtest/gtest.h>
#include <stdint.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "private_api.h"

namespace {

ve_memory_pool_t *const kSentinel = reinterpret_cast<ve_memory_pool_t *>(uintptr_t{0x12345678});
ve_memory_pool_t *const kForeign = reinterpret_cast<ve_memory_pool_t *>(uintptr_t{0x1234});
ve_memory_pool_t *const kSentinelPlusOne =
    reinterpret_cast<ve_memory_pool_t *>(uintptr_t{0x12345679});

// A pool this library made and has destroyed since.
ve_memory_pool_t *_freed_pool() {
  ve_memory_pool_t *pool = nullptr;
  if (VE_memory_pool_create(&pool, 16) != 0 || VE_memory_pool_destroy(pool) != 0) return nullptr;
  return pool;
}

// A handle that is a real heap block of the sentinel pool.
void *_handle() { return VE_memory_pool_alloc(kSentinel, 16); }

struct Row {
  std::string call;
  std::function<intptr_t()> run;  // what the call answered (0 for a function without result)
  intptr_t expected;
};

// Runs a row in a child; the child's exit status says whether the answer was the expected one.
std::string _outcome(const Row &row) {
  pid_t child = fork();
  if (child == 0) _exit(row.run() == row.expected ? 0 : 1);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return "no child";
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return WEXITSTATUS(status) == 0 ? "ok" : "unexpected result";
}

TEST(ForeignValues, ExportedFunctionsRefuseValuesTheyDoNotOwn) {
  std::vector<Row> rows;
  const struct {
    const char *name;
    std::function<ve_memory_pool_t *()> pool;
  } pools[] = {{"0x1234", [] { return kForeign; }},
               {"a freed pool", _freed_pool},
               {"the sentinel plus one", [] { return kSentinelPlusOne; }}};
  for (const auto &pool : pools) {
    const std::string of = std::string(" of ") + pool.name;
    rows.push_back(
        {"VE_memory_pool_alloc" + of,
         [&] { return reinterpret_cast<intptr_t>(VE_memory_pool_alloc(pool.pool(), 16)); }, 0});
    rows.push_back(
        {"VE_memory_pool_data" + of,
         [&] { return reinterpret_cast<intptr_t>(VE_memory_pool_data(pool.pool(), _handle())); },
         0});
    rows.push_back({"VE_memory_pool_free" + of,
                    [&] {
                      VE_memory_pool_free(pool.pool(), _handle());
                      return intptr_t{0};
                    },
                    0});
    rows.push_back({"VE_memory_pool_destroy" + of,
                    [&] { return intptr_t{VE_memory_pool_destroy(pool.pool())}; },
                    QIVA_ERR_INVALID});
  }
  rows.push_back({"VE_memory_pool_init of null",
                  [] { return intptr_t{VE_memory_pool_init(nullptr, 1)}; }, QIVA_ERR_INVALID});
  rows.push_back({"VE_memory_pool_destroy of null",
                  [] { return intptr_t{VE_memory_pool_destroy(nullptr)}; }, QIVA_ERR_INVALID});
  rows.push_back({"VE_memory_pool_free of the sentinel, null handle",
                  [] {
                    VE_memory_pool_free(kSentinel, nullptr);
                    return intptr_t{0};
                  },
                  0});
  static const ve_message_buffer_t kItem = {0, 1, nullptr};
  rows.push_back({"CCQ_destroy of null", [] { return intptr_t{CCQ_destroy(nullptr)}; }, 0});
  rows.push_back({"CCQ_push onto null", [] { return intptr_t{CCQ_push(nullptr, &kItem, nullptr)}; },
                  QIVA_ERR_INVALID});
  rows.push_back({"CCQ_pop of null",
                  [] {
                    ve_message_buffer_t out;
                    return reinterpret_cast<intptr_t>(CCQ_pop(nullptr, &out));
                  },
                  0});
  rows.push_back(
      {"CCQ_peek of null", [] { return reinterpret_cast<intptr_t>(CCQ_peek(nullptr)); }, 0});
  rows.push_back({"CCQ_empty of null", [] { return intptr_t{CCQ_empty(nullptr)}; }, 1});
  rows.push_back({"CCQ_full of null", [] { return intptr_t{CCQ_full(nullptr)}; }, 0});
  rows.push_back({"CSLIST_init of null", [] { return intptr_t{CSLIST_init(nullptr)}; }, -1});
  rows.push_back(
      {"CSLIST_pop of null", [] { return reinterpret_cast<intptr_t>(CSLIST_pop(nullptr)); }, 0});
  rows.push_back(
      {"CSLIST_peek of null", [] { return reinterpret_cast<intptr_t>(CSLIST_peek(nullptr)); }, 0});
  rows.push_back({"CSLIST_empty of null", [] { return intptr_t{CSLIST_empty(nullptr)}; }, 1});
  rows.push_back({"VE_enqueue_message without handle",
                  [] {
                    qiva_config_t config = {};
                    return intptr_t{VE_enqueue_message(&config, &config, 1)};
                  },
                  QIVA_ERR_LOGIC});
  for (const Row &row : rows) EXPECT_EQ("ok", _outcome(row)) << row.call;
}

}  // namespace
