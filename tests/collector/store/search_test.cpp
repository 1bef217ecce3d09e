// Searches over a handful of transactions: every filter kind, the orders and paging, and the
// answers to input the store did not make.
#include <set>

#include "tests/collector/store/store_fixture.h"

namespace veska_test {
namespace {

using veska::store::ReadStatus;
using veska::store::TransactionQuery;

class SearchTest : public StoreTest {
 protected:
  void SetUp() override {
    t_ = now_us() - 10 * 1000000;
    const std::string a = "127.0.0.1:1", b = "127.0.0.1:2";
    write({{QIVA_STARTED_EVENT, "order-1", t_, "", "", {{"customer", bytes_of_text("C-1")}}},
           {QIVA_COMMIT_EVENT, "order-1", t_ + 100},
           {QIVA_STARTED_EVENT, "order-2", t_ + 10, "", "", {{"customer", bytes_of_text("C-2")}}},
           {QIVA_ROLLBACK_EVENT, "order-2", t_ + 1010},
           {QIVA_OUTBOUND_EVENT, "order-3", t_ + 20, "L", "", {}, {{"host", bytes_of_text("inv")}}},
           {QIVA_FINISHED_EVENT, "order-3", t_ + 520},
           {QIVA_STARTED_EVENT, "stock-1", t_ + 30, "", "", {}, {}, b},
           {QIVA_STARTED_EVENT, "old-1", t_ - 600 * 1000000LL, "", "", {}, {}, b}});
  }
  std::set<std::string> found(const TransactionQuery &query) {
    const std::vector<std::string> ids = search_ids(query);
    return std::set<std::string>(ids.begin(), ids.end());
  }
  int64_t t_ = 0;
};

TEST_F(SearchTest, EachFilterKindNarrowsTheResults) {
  struct Row {
    const char *name;
    std::function<void(TransactionQuery *)> set;
    std::set<std::string> expected;
  };
  const std::vector<Row> rows = {
      {"id", [](TransactionQuery *q) { q->id = "order-2"; }, {"order-2"}},
      {"id prefix",
       [](TransactionQuery *q) { q->id_prefix = "order-"; },
       {"order-1", "order-2", "order-3"}},
      {"commit", [](TransactionQuery *q) { q->outcome = "commit"; }, {"order-1"}},
      {"rollback", [](TransactionQuery *q) { q->outcome = "rollback"; }, {"order-2"}},
      {"finished", [](TransactionQuery *q) { q->outcome = "finished"; }, {"order-3"}},
      {"open", [](TransactionQuery *q) { q->outcome = "open"; }, {"stock-1"}},
      {"stuck", [](TransactionQuery *q) { q->stuck_only = true; }, {"old-1"}},
      {"min duration",
       [](TransactionQuery *q) { q->min_duration_us = 500; },
       {"order-2", "order-3"}},
      {"max duration",
       [](TransactionQuery *q) { q->max_duration_us = 100; },
       {"order-1", "stock-1", "old-1"}},
      {"time range",
       [&](TransactionQuery *q) {
         q->from_us = t_ + 10;
         q->to_us = t_ + 20;
       },
       {"order-2", "order-3"}},
      {"client", [](TransactionQuery *q) { q->client = "127.0.0.1:2"; }, {"stock-1", "old-1"}},
      {"data",
       [](TransactionQuery *q) {
         q->data.push_back({"customer", "C-2"});
       },
       {"order-2"}},
      {"stitch",
       [](TransactionQuery *q) {
         q->stitch.push_back({"host", "inv"});
       },
       {"order-3"}},
      {"every pair must match",
       [](TransactionQuery *q) {
         q->data.push_back({"customer", "C-2"});
         q->stitch.push_back({"host", "inv"});
       },
       {}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    TransactionQuery query;
    row.set(&query);
    EXPECT_EQ(row.expected, found(query));
  }
}

TEST_F(SearchTest, PagesFollowTheOrderWithoutRepeats) {
  TransactionQuery query;
  query.sort_by_duration = true;
  query.limit = 2;
  std::vector<std::string> seen;
  nlohmann::ordered_json answer;
  std::string error;
  for (int page = 0; page < 5; ++page) {
    ASSERT_EQ(ReadStatus::kOk, reader().search(query, &answer, &error)) << error;
    EXPECT_EQ(5, answer["total"]);
    EXPECT_EQ(false, answer["truncated"]);
    for (const auto &summary : answer["transactions"]) seen.push_back(summary["transaction_id"]);
    if (answer["next"].is_null()) break;
    query.cursor = answer["next"];
  }
  // Equal durations go by row, newest first, like the rest of a descending order.
  EXPECT_EQ((std::vector<std::string>{"order-2", "order-3", "order-1", "old-1", "stock-1"}), seen);
}

TEST_F(SearchTest, ForeignCursorsAndKeysAreRefused) {
  nlohmann::ordered_json answer;
  std::string error;
  TransactionQuery query;
  for (const char *cursor : {"x", "sd~1", "sd~~1", "sa~5~6", "sd~99999999999999999999~1"}) {
    query.cursor = cursor;
    EXPECT_EQ(ReadStatus::kBadRequest, reader().search(query, &answer, &error)) << cursor;
  }
  for (const char *key : {"", "0z", "ABC", "zzzzzzzzzzzzz", "9999"}) {
    EXPECT_EQ(ReadStatus::kNotFound, reader().transaction(key, &answer, &error)) << key;
  }
}

TEST_F(SearchTest, ClientsCarryTheirLatestStatistics) {
  veska::store::MessageBatch batch;
  add(&batch, statistics_message(3, 2), "127.0.0.1:2", t_ + 50);
  add(&batch, statistics_message(4, 2), "127.0.0.1:2", t_ + 60);
  std::string error;
  ASSERT_TRUE(writer().write(batch, now_us(), &error)) << error;
  nlohmann::ordered_json answer;
  ASSERT_EQ(ReadStatus::kOk, reader().clients(&answer, &error)) << error;
  ASSERT_EQ(2u, answer["clients"].size());
  const auto &second = answer["clients"][1];
  EXPECT_EQ("127.0.0.1:2", second["peer"]);
  EXPECT_EQ(4, second["events_dropped"]);
  EXPECT_EQ(2, second["connections_made"]);
  EXPECT_EQ(2, second["events"]);
  EXPECT_EQ(t_ + 60, second["last_seen_us"]);
}

// Ids and values are bytes: whatever they hold, answers are valid UTF-8 JSON and the search
// matches the bytes themselves.
TEST_F(SearchTest, BinaryIdsAnswerAsHex) {
  const std::string id("\xff\x00<b>", 5);
  write({{QIVA_STARTED_EVENT, id, t_, "", "", {{"k", Bytes{0xC3, 0x28}}}}});
  TransactionQuery query;
  query.id = id;
  nlohmann::ordered_json answer;
  std::string error;
  ASSERT_EQ(ReadStatus::kOk, reader().search(query, &answer, &error)) << error;
  ASSERT_EQ(1u, answer["transactions"].size());
  EXPECT_EQ("ff003c623e", answer["transactions"][0]["transaction_id"]["hex"]);
  const nlohmann::ordered_json d = detail(id);
  EXPECT_EQ("c328", d["events"][0]["instance"]["transaction_data"][0]["value"]["hex"]);
  EXPECT_NO_THROW(nlohmann::json::parse(d.dump()));
}

// A common condition is counted among the latest transactions only: the total is then a lower
// bound and says so, while the page is still the newest matches in order.
TEST_F(SearchTest, CommonConditionsAreCountedInARecentWindow) {
  std::vector<StoredEvent> many;
  for (int i = 0; i < 24000; ++i) {
    many.push_back({QIVA_STARTED_EVENT,
                    "w" + std::to_string(i),
                    t_ + 1000 + i,
                    "",
                    "",
                    {{"tier", bytes_of_text(i % 2 == 0 ? "gold" : "tin")}}});
  }
  write(many);
  TransactionQuery query;
  query.data.push_back({"tier", "gold"});
  query.limit = 2;
  nlohmann::ordered_json answer;
  std::string error;
  ASSERT_EQ(ReadStatus::kOk, reader().search(query, &answer, &error)) << error;
  EXPECT_EQ(true, answer["truncated"]);
  EXPECT_LE(answer["total"].get<int64_t>(), 10000);
  EXPECT_GE(answer["total"].get<int64_t>(), 9000);
  EXPECT_EQ("w23998", answer["transactions"][0]["transaction_id"]);
  EXPECT_EQ("w23996", answer["transactions"][1]["transaction_id"]);
}

// Every read is bounded in time: past the bound the reader gives up with kTimedOut and a text
// that says so, and the next read (with time to spare) answers as usual.
TEST_F(SearchTest, ReadsPastTheirTimeBoundGiveUp) {
  std::vector<StoredEvent> many;
  for (int i = 0; i < 2000; ++i) many.push_back({QIVA_STARTED_EVENT, "bulk", t_ + i});
  write(many);
  settings_.query_seconds = 1e-9;
  nlohmann::ordered_json answer;
  std::string error;
  TransactionQuery bulk;
  bulk.id_prefix = "bulk";
  EXPECT_EQ(ReadStatus::kTimedOut, reader().search(TransactionQuery(), &answer, &error));
  EXPECT_NE(std::string::npos, error.find("did not answer within")) << error;
  EXPECT_EQ(ReadStatus::kTimedOut, reader().search(bulk, &answer, &error));
  reader_.reset();
  settings_.query_seconds = 30;
  ASSERT_EQ(ReadStatus::kOk, reader().search(bulk, &answer, &error)) << error;
  EXPECT_EQ(2000, answer["transactions"][0]["events"]);
}

}  // namespace
}  // namespace veska_test
