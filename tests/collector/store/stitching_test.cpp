// Every row of the stitching rules' table in docs/transaction-view.md, each on its own
// transactions in one store, checked through the detail the API answers.
#include "tools/collector/store/stitching.h"

#include <functional>

#include "tests/collector/store/store_fixture.h"

namespace veska_test {
namespace {

using Json = nlohmann::ordered_json;

struct Rule {
  const char *name;
  std::vector<StoredEvent> events;
  const char *inspect;  // the transaction whose detail is checked
  std::function<void(const Json &)> check;
};

TEST_F(StoreTest, StitchingRulesEachRow) {
  settings_.stuck_after = 60;
  const int64_t t = now_us() - 10 * 1000000;
  const int64_t old = t - 300 * 1000000LL;
  const std::vector<Rule> rules = {
      {"events ordered by time",
       {{QIVA_HERE_EVENT, "order", t + 30},
        {QIVA_STARTED_EVENT, "order", t + 10},
        {QIVA_HERE_EVENT, "order", t + 20}},
       "order",
       [&](const Json &d) {
         ASSERT_EQ(3u, d["events"].size());
         EXPECT_EQ("STARTED", d["events"][0]["type_name"]);
         EXPECT_EQ(t + 20, d["events"][1]["time_us"]);
         EXPECT_EQ(20, d["transaction"]["duration_us"]);
       }},
      {"commit",
       {{QIVA_STARTED_EVENT, "c", t},
        {QIVA_FINISHED_EVENT, "c", t + 1},
        {QIVA_COMMIT_EVENT, "c", t + 2}},
       "c",
       [](const Json &d) { EXPECT_EQ("commit", d["transaction"]["outcome"]); }},
      {"rollback",
       {{QIVA_STARTED_EVENT, "r", t}, {QIVA_ROLLBACK_EVENT, "r", t + 2}},
       "r",
       [](const Json &d) { EXPECT_EQ("rollback", d["transaction"]["outcome"]); }},
      {"finished without either",
       {{QIVA_STARTED_EVENT, "f", t}, {QIVA_FINISHED_EVENT, "f", t + 2}},
       "f",
       [](const Json &d) { EXPECT_EQ("finished", d["transaction"]["outcome"]); }},
      {"open",
       {{QIVA_STARTED_EVENT, "o", t}},
       "o",
       [](const Json &d) { EXPECT_EQ("open", d["transaction"]["outcome"]); }},
      {"stuck",
       {{QIVA_STARTED_EVENT, "s", old}},
       "s",
       [](const Json &d) { EXPECT_EQ("stuck", d["transaction"]["outcome"]); }},
      {"a call spans OUTBOUND to its answer",
       {{QIVA_OUTBOUND_EVENT, "call", t + 10, "L-span"},
        {QIVA_INBOUND_EVENT, "call", t + 50, "L-span"}},
       "call",
       [&](const Json &d) {
         ASSERT_EQ(1u, d["calls"].size());
         EXPECT_EQ(0, d["calls"][0]["outbound_index"]);
         EXPECT_EQ(1, d["calls"][0]["answer_index"]);
         EXPECT_EQ(40, d["calls"][0]["duration_us"]);
         EXPECT_EQ(0, d["transaction"]["unmatched"]);
       }},
      {"the callee nests under the call",
       {{QIVA_OUTBOUND_EVENT, "caller", t + 10, "L-nest"},
        {QIVA_STARTED_INBOUND_EVENT, "callee", t + 20, "L-nest", "", {}, {}, "127.0.0.1:2"},
        {QIVA_OUTBOUND_FINISHED_EVENT, "caller", t + 40, "L-nest"}},
       "caller",
       [](const Json &d) {
         ASSERT_EQ(1u, d["called"].size());
         EXPECT_EQ("callee", d["called"][0]["transaction"]["transaction_id"]);
         EXPECT_EQ(d["called"][0]["transaction"]["key"], d["calls"][0]["callee_keys"][0]);
         EXPECT_EQ("caller", d["called"][0]["callers"][0]["transaction_id"]);
         EXPECT_TRUE(d["notes"].empty());
       }},
      {"a vertical link joins a callee to its caller",
       {{QIVA_HERE_EVENT, "upper", t + 10, "", "V-1"},
        {QIVA_STARTED_EVENT, "lower", t + 20, "", "V-1"}},
       "lower",
       [](const Json &d) {
         ASSERT_EQ(1u, d["callers"].size());
         EXPECT_EQ("upper", d["callers"][0]["transaction_id"]);
         EXPECT_TRUE(d["unmatched"].empty());
       }},
      {"an unanswered OUTBOUND is unmatched",
       {{QIVA_STARTED_EVENT, "lost", t}, {QIVA_OUTBOUND_EVENT, "lost", t + 1, "L-lost"}},
       "lost",
       [](const Json &d) {
         ASSERT_EQ(1u, d["unmatched"].size());
         EXPECT_EQ(1, d["unmatched"][0]["event_index"]);
         EXPECT_EQ("horizontal", d["unmatched"][0]["kind"]);
         EXPECT_EQ(1, d["transaction"]["unmatched"]);
         EXPECT_TRUE(d["calls"][0]["answer_index"].is_null());
       }},
      {"a served call no OUTBOUND made is unmatched",
       {{QIVA_STARTED_INBOUND_EVENT, "orphan", t, "L-orphan"}},
       "orphan",
       [](const Json &d) {
         ASSERT_EQ(1u, d["unmatched"].size());
         EXPECT_EQ("L-orphan", d["unmatched"][0]["link_id"]);
       }},
      {"an OUTBOUND_FINISHED without OUTBOUND is unmatched",
       {{QIVA_OUTBOUND_FINISHED_EVENT, "half", t, "L-half"}},
       "half",
       [](const Json &d) { EXPECT_EQ(1u, d["unmatched"].size()); }},
      {"a start whose vertical link no caller carries is unmatched",
       {{QIVA_STARTED_EVENT, "root", t, "", "V-none"}},
       "root",
       [](const Json &d) {
         ASSERT_EQ(1u, d["unmatched"].size());
         EXPECT_EQ("vertical", d["unmatched"][0]["kind"]);
       }},
      {"a callee outside its call gets a skew note",
       {{QIVA_OUTBOUND_EVENT, "skewed", t + 10, "L-skew"},
        {QIVA_STARTED_INBOUND_EVENT, "early", t + 4, "L-skew", "", {}, {}, "127.0.0.1:3"},
        {QIVA_INBOUND_EVENT, "skewed", t + 20, "L-skew"}},
       "skewed",
       [&](const Json &d) {
         ASSERT_EQ(1u, d["notes"].size());
         EXPECT_EQ("skew", d["notes"][0]["kind"]);
         EXPECT_EQ(6, d["notes"][0]["early_us"]);
         EXPECT_EQ(t + 4, d["called"][0]["events"][0]["time_us"]);  // raw times kept
       }},
      {"links followed both ways stop at a cycle",
       {{QIVA_OUTBOUND_EVENT, "ping", t, "L-ping"},
        {QIVA_STARTED_INBOUND_EVENT, "pong", t + 1, "L-ping"},
        {QIVA_OUTBOUND_EVENT, "pong", t + 2, "L-pong"},
        {QIVA_STARTED_INBOUND_EVENT, "ping", t + 3, "L-pong"}},
       "ping",
       [](const Json &d) {
         ASSERT_EQ(1u, d["called"].size());
         EXPECT_TRUE(d["called"][0]["called"].empty());
         EXPECT_EQ("pong", d["callers"][0]["transaction_id"]);
       }},
      {"nesting is cut at its depth",
       {{QIVA_OUTBOUND_EVENT, "d0", t, "L-d1"},
        {QIVA_STARTED_INBOUND_EVENT, "d1", t, "L-d1"},
        {QIVA_OUTBOUND_EVENT, "d1", t, "L-d2"},
        {QIVA_STARTED_INBOUND_EVENT, "d2", t, "L-d2"},
        {QIVA_OUTBOUND_EVENT, "d2", t, "L-d3"},
        {QIVA_STARTED_INBOUND_EVENT, "d3", t, "L-d3"},
        {QIVA_OUTBOUND_EVENT, "d3", t, "L-d4"},
        {QIVA_STARTED_INBOUND_EVENT, "d4", t, "L-d4"}},
       "d0",
       [](const Json &d) {
         const Json &d3 = d["called"][0]["called"][0]["called"][0];
         EXPECT_EQ("d3", d3["transaction"]["transaction_id"]);
         EXPECT_TRUE(d3["called"].empty());
         EXPECT_EQ(true, d3["truncated"]);
       }},
  };
  for (const Rule &rule : rules) write(rule.events);
  for (const Rule &rule : rules) {
    SCOPED_TRACE(rule.name);
    const Json detail_json = detail(rule.inspect);
    ASSERT_TRUE(detail_json.is_object());
    rule.check(detail_json);
  }
}

// Drops a client reported between its last report before the transaction and its first after
// it are the transaction's loss note; reports outside that window are not.
TEST_F(StoreTest, StitchingLossNoteCountsDropsInTheWindow) {
  const int64_t t = now_us() - 10 * 1000000;
  const std::string peer = "127.0.0.1:4";
  veska::store::MessageBatch batch;
  add(&batch, statistics_message(2, 1), peer, t - 100);
  add(&batch, event_message({QIVA_STARTED_EVENT, "lossy", t, "", "", {}, {}, peer}), peer, t);
  add(&batch, event_message({QIVA_FINISHED_EVENT, "lossy", t + 50, "", "", {}, {}, peer}), peer,
      t + 50);
  add(&batch, statistics_message(7, 1), peer, t + 60);
  add(&batch, statistics_message(9, 1), peer, t + 90);
  std::string error;
  ASSERT_TRUE(writer().write(batch, now_us(), &error)) << error;
  const Json d = detail("lossy");
  ASSERT_EQ(1u, d["notes"].size());
  EXPECT_EQ("loss", d["notes"][0]["kind"]);
  EXPECT_EQ(peer, d["notes"][0]["client"]);
  EXPECT_EQ(5, d["notes"][0]["events_dropped"]);
  EXPECT_EQ(5, d["transaction"]["dropped_nearby"]);
}

}  // namespace
}  // namespace veska_test
