// The paging parameters of a transaction's answers, through the router against a fake reader:
// which reader method answers, with which page, and the 400s for what cannot be a page.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tools/collector/http/router.h"

namespace {

using Json = nlohmann::ordered_json;
using veska::store::EventPage;
using veska::store::ReadStatus;

class PagingReader : public veska::store::TransactionReader {
 public:
  ReadStatus search(const veska::store::TransactionQuery &, Json *, std::string *) override {
    return ReadStatus::kFailed;
  }
  ReadStatus transaction(const std::string &key, Json *answer, std::string *) override {
    asked = "whole " + key;
    *answer = {{"events", Json::array()}};
    return ReadStatus::kOk;
  }
  ReadStatus clients(Json *, std::string *) override { return ReadStatus::kFailed; }
  ReadStatus transaction_page(const std::string &key, const EventPage &page, std::string *json,
                              std::string *error) override {
    return answer("detail", key, page, json, error);
  }
  ReadStatus events_page(const std::string &key, const EventPage &page, std::string *json,
                         std::string *error) override {
    return answer("events", key, page, json, error);
  }

  std::string asked;

 private:
  ReadStatus answer(const std::string &what, const std::string &key, const EventPage &page,
                    std::string *json, std::string *error) {
    asked = what + " " + key + " " + std::to_string(page.from) + "+" + std::to_string(page.limit);
    if (key == "gone") {
      *error = "no transaction has this key";
      return ReadStatus::kNotFound;
    }
    *json = "{\"page\":true}";
    return ReadStatus::kOk;
  }
};

TEST(EventPageRoute, ParametersChooseTheAnswerAndBadValuesGet400) {
  struct Case {
    const char *target;
    int status;
    const char *asked_or_error;
  };
  const Case cases[] = {
      {"/api/transactions/k1", 200, "whole k1"},
      {"/api/transactions/k1?anything=1", 200, "whole k1"},  // as before paging existed
      {"/api/transactions/k1?events_limit=300", 200, "detail k1 0+300"},
      {"/api/transactions/k1?events_from=2000&events_limit=99999999999", 200,
       "detail k1 2000+5000"},
      {"/api/transactions/k1?events_from=7", 200, "detail k1 7+1000"},
      {"/api/transactions/k1/events?from=10&limit=20", 200, "events k1 10+20"},
      {"/api/transactions/k1/events", 200, "events k1 0+1000"},
      {"/api/transactions/gone/events?from=1", 404, "no transaction has this key"},
      {"/api/transactions/k1?events_from=-1", 400,
       "parameter 'events_from' must be a whole number from 0 to 999999999"},
      {"/api/transactions/k1?events_from=1000000000", 400,
       "parameter 'events_from' must be a whole number from 0 to 999999999"},
      {"/api/transactions/k1?events_limit=0", 400,
       "parameter 'events_limit' must be a whole number of events, at least 1"},
      {"/api/transactions/k1?events_limit=", 400,
       "parameter 'events_limit' must be a whole number of events, at least 1"},
      {"/api/transactions/k1/events?limit=1e3", 400,
       "parameter 'limit' must be a whole number of events, at least 1"},
      {"/api/transactions/k1/events?from=1&from=2", 400,
       "parameter 'from' is given more than once"},
      {"/api/transactions/k1/events?cursor=x", 400, "unknown parameter 'cursor'"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.target);
    PagingReader reader;
    veska::http::Router router(&reader, "");
    const std::string target = c.target;
    const size_t question = target.find('?');
    veska::http::Request request;
    request.path = std::string_view(target).substr(0, question);
    if (question != std::string::npos)
      request.query = std::string_view(target).substr(question + 1);
    request.target_size = target.size();
    const veska::http::Response response = router.answer(request);
    EXPECT_EQ(c.status, response.status);
    if (c.status == 200) {
      EXPECT_EQ(c.asked_or_error, reader.asked);
      if (reader.asked.rfind("whole", 0) != 0) EXPECT_EQ("{\"page\":true}\n", response.body);
    } else {
      EXPECT_EQ(c.asked_or_error, Json::parse(response.body)["error"]) << response.body;
    }
  }
}

}  // namespace
