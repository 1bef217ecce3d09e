// The intrusive list.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "private_api.h"

namespace {

struct Record {
  slist_item_t link;  // first, so an item's address is its record's
  int value;
};

TEST(Slist, FifoOrderAndEmptyAfterLastPop) {
  EXPECT_EQ(-1, CSLIST_init(nullptr));
  slist_t list;
  ASSERT_EQ(0, CSLIST_init(&list));
  EXPECT_EQ(1, CSLIST_empty(&list));
  EXPECT_EQ(nullptr, CSLIST_pop(&list));
  Record r[3] = {{{nullptr}, 1}, {{nullptr}, 2}, {{nullptr}, 3}};
  for (auto &rec : r) EXPECT_EQ(0, CSLIST_push(&list, &rec.link));
  EXPECT_EQ(&r[0].link, CSLIST_peek(&list));
  EXPECT_EQ(0, CSLIST_empty(&list));
  for (int expected = 1; expected <= 3; ++expected) {
    auto *item = reinterpret_cast<Record *>(CSLIST_pop(&list));
    ASSERT_NE(nullptr, item);
    EXPECT_EQ(expected, item->value);
  }
  EXPECT_EQ(nullptr, list.head);
  EXPECT_EQ(nullptr, list.tail);
  EXPECT_EQ(1, CSLIST_empty(&list));
  // Usable again after it emptied.
  CSLIST_push(&list, &r[1].link);
  EXPECT_EQ(&r[1].link, CSLIST_pop(&list));
  EXPECT_EQ(0, CSLIST_destroy(&list));
}

TEST(Slist, ConcurrentPushesKeepEveryItem) {
  slist_t list;
  ASSERT_EQ(0, CSLIST_init(&list));
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<Record> records(kThreads * kEach);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        records[t * kEach + i].value = t * kEach + i;
        CSLIST_push(&list, &records[t * kEach + i].link);
      }
    });
  }
  for (auto &th : threads) th.join();
  std::vector<int> count(records.size(), 0);
  while (slist_item_t *item = CSLIST_pop(&list)) count[reinterpret_cast<Record *>(item)->value]++;
  for (int c : count) ASSERT_EQ(1, c);
  CSLIST_destroy(&list);
}

}  // namespace
