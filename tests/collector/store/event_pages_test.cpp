// Paged answers: the events of a page are, byte for byte, those the whole detail holds at the
// same indices, and the rest of a paged detail is the whole transaction's.
#include "tests/collector/store/store_fixture.h"

namespace veska_test {
namespace {

using Json = nlohmann::ordered_json;
using veska::store::EventPage;
using veska::store::ReadStatus;

std::string _dump(const Json &json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

TEST_F(StoreTest, EventPagesHoldTheWholeDetailsEvents) {
  const int64_t t = now_us() - 1000000;
  // Markup, bytes that are not text, a peer that is not ASCII, a call and a link nobody answers.
  write({{QIVA_STARTED_EVENT, "paged", t, "", "", {{"<b>x</b>", bytes_of_text("\"q\\")}}},
         {QIVA_OUTBOUND_EVENT, "paged", t + 10, "L-page"},
         {QIVA_STARTED_INBOUND_EVENT, "served", t + 20, "L-page", "", {}, {}, "127.0.0.1:2"},
         {QIVA_HERE_EVENT, "paged", t + 30, "", "", {{"bin", Bytes{0, 0xff, 0x80}}}},
         {QIVA_INBOUND_EVENT, "paged", t + 40, "L-page"},
         {QIVA_HERE_EVENT, "paged", t + 50, "", "", {}, {}, "h\xc3\xa9t\xff:7"},
         {QIVA_OUTBOUND_EVENT, "paged", t + 60, "L-nobody", "", {}, {}, "127.0.0.1:1000", true},
         {QIVA_COMMIT_EVENT, "paged", t + 70}});
  const Json whole = detail("paged");
  ASSERT_EQ(7u, whole["events"].size());
  const std::string key = whole["transaction"]["key"];
  std::string text, error;

  // Pages of two, joined, are the whole list's text.
  std::string joined;
  for (int64_t from = 0; from < 8; from += 2) {
    ASSERT_EQ(ReadStatus::kOk, reader().events_page(key, EventPage{from, 2}, &text, &error))
        << error;
    const Json page = Json::parse(text);
    EXPECT_EQ(key, page["key"]);
    EXPECT_EQ(from, page["events_from"]);
    EXPECT_EQ(7, page["events_total"]);
    EXPECT_EQ(from < 6 ? 2u : 1u, page["events"].size());
    const std::string dumped = _dump(page["events"]);
    joined += (joined.empty() ? "" : ",") + dumped.substr(1, dumped.size() - 2);
    EXPECT_NE(std::string::npos, text.find(dumped)) << "rendered as a document would: " << text;
  }
  EXPECT_EQ(_dump(whole["events"]), "[" + joined + "]");

  // A paged detail is the whole detail but for its own events.
  ASSERT_EQ(ReadStatus::kOk, reader().transaction_page(key, EventPage{3, 2}, &text, &error))
      << error;
  Json paged = Json::parse(text);
  EXPECT_EQ(3, paged["events_from"]);
  EXPECT_EQ(7, paged["events_total"]);
  EXPECT_EQ(_dump(Json(whole["events"].begin() + 3, whole["events"].begin() + 5)),
            _dump(paged["events"]));
  Json rest = whole;
  rest.erase("events");
  paged.erase("events");
  paged.erase("events_from");
  paged.erase("events_total");
  EXPECT_EQ(_dump(rest), _dump(paged));
  EXPECT_EQ(1u, paged["unmatched"].size());
  EXPECT_EQ(1u, paged["called"].size());

  // Past the end, an empty page; an unknown key, 404.
  ASSERT_EQ(ReadStatus::kOk, reader().events_page(key, EventPage{50, 10}, &text, &error));
  EXPECT_EQ("{\"key\":\"" + key + "\",\"events_from\":50,\"events_total\":7,\"events\":[]}", text);
  EXPECT_EQ(ReadStatus::kNotFound, reader().events_page("zzzz", EventPage{0, 1}, &text, &error));
  EXPECT_EQ(ReadStatus::kNotFound,
            reader().transaction_page("no key", EventPage{0, 1}, &text, &error));
}

}  // namespace
}  // namespace veska_test
