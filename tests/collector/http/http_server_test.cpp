// The HTTP server in process, over loopback, against a fake store reader: routing, the answers'
// statuses, headers and JSON, the bearer token, bounds on what a client sends, and /metrics
// as promtool reads it.
#include "tools/collector/http/http_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "support/http_client.h"
#include "support/logging_process.h"
#include "tools/collector/http/bearer_token.h"
#include "tools/collector/http/listen_socket.h"
#include "tools/collector/metrics/metrics.h"

namespace {

using Json = nlohmann::ordered_json;
using veska::store::ReadStatus;
using veska::store::TransactionQuery;
using veska_test::http_get;
using veska_test::http_request;
using veska_test::HttpAnswer;

// Answers from what the test sets, and remembers what it was asked. Keys name the outcome:
// "missing" is not found, "broken" fails, "odd" is a bad request.
class FakeReader : public veska::store::TransactionReader {
 public:
  ReadStatus search(const TransactionQuery &query, Json *answer, std::string *error) override {
    last_query = query;
    if (query.cursor == "bad") {
      *error = "malformed cursor";
      return ReadStatus::kBadRequest;
    }
    *answer = {{"total", 1},
               {"truncated", false},
               {"next", nullptr},
               {"transactions", Json::array({{{"key", "k1"}, {"transaction_id", "order-7781"}}})}};
    return ReadStatus::kOk;
  }
  ReadStatus transaction(const std::string &key, Json *answer, std::string *error) override {
    last_key = key;
    if (key == "missing") return ReadStatus::kNotFound;
    if (key == "broken") {
      *error = "disk I/O error";
      return ReadStatus::kFailed;
    }
    if (key == "slow") {
      *error = "the store did not answer within 5 s";
      return ReadStatus::kTimedOut;
    }
    // Event bytes are arbitrary: invalid UTF-8 must not break the answer.
    *answer = {{"transaction", {{"key", key}}}, {"events", Json::array({"\xff\xfe"})}};
    return ReadStatus::kOk;
  }
  ReadStatus clients(Json *answer, std::string *) override {
    *answer = {{"clients", Json::array({{{"peer", "127.0.0.1:4000"}}})}};
    return ReadStatus::kOk;
  }

  TransactionQuery last_query;
  std::string last_key;
};

class HttpServerTest : public ::testing::Test {
 protected:
  void start(const std::string &token = "", int max_connections = 128) {
    veska::http::ServerSettings settings;
    settings.address = "127.0.0.1:0";
    settings.token = token;
    settings.max_connections = max_connections;
    settings.reader = &reader_;
    std::string error;
    server_ = veska::http::HttpServer::start(settings, &error);
    ASSERT_TRUE(server_) << error;
    address_ = server_->address();
  }

  static Json body_json(const HttpAnswer &answer) {
    return Json::parse(answer.body, nullptr, false);
  }

  FakeReader reader_;
  std::unique_ptr<veska::http::HttpServer> server_;
  std::string address_;
};

TEST_F(HttpServerTest, AnswersTheApiFromTheReader) {
  start();
  EXPECT_TRUE(server_->loopback());
  HttpAnswer search = http_get(address_, "/api/transactions?outcome=commit&data=customer:C-1");
  EXPECT_EQ(200, search.status);
  EXPECT_EQ("application/json; charset=utf-8", search.header("content-type"));
  EXPECT_EQ("order-7781", body_json(search)["transactions"][0]["transaction_id"]);
  EXPECT_EQ("commit", *reader_.last_query.outcome);
  EXPECT_EQ("C-1", reader_.last_query.data.at(0).value);

  HttpAnswer detail = http_get(address_, "/api/transactions/a%2Fb%20c");
  EXPECT_EQ(200, detail.status);
  EXPECT_EQ("a/b c", reader_.last_key);
  const Json document = body_json(detail);
  ASSERT_FALSE(document.is_discarded()) << detail.body;
  EXPECT_EQ("\xef\xbf\xbd\xef\xbf\xbd", document["events"][0]);  // U+FFFD twice

  HttpAnswer clients = http_get(address_, "/api/clients");
  EXPECT_EQ(200, clients.status);
  EXPECT_EQ("127.0.0.1:4000", body_json(clients)["clients"][0]["peer"]);
}

TEST_F(HttpServerTest, RefusesBadRequestsWithAJsonError) {
  start();
  const struct {
    const char *method;
    std::string target;
    int status;
    const char *reason;  // a part of the JSON error
  } cases[] = {
      {"GET", "/api/transactions?nope=1", 400, "unknown parameter 'nope'"},
      {"GET", "/api/transactions?limit=abc", 400, "'limit'"},
      {"GET", "/api/transactions?id=%ff%fe%zz", 400, "hexadecimal"},
      {"GET", "/api/transactions?cursor=bad", 400, "malformed cursor"},
      {"GET", "/api/transactions/missing", 404, "no such transaction"},
      {"GET", "/api/transactions/broken", 500, "disk I/O error"},
      {"GET", "/api/transactions/slow", 503, "within 5 s"},
      {"GET", "/api/transactions/" + std::string(300, 'k'), 400, "at most 256"},
      {"GET", "/api/transactions/", 404, "not found"},
      {"GET", "/api/nothing", 404, "not found"},
      {"GET", "/no/such/page", 404, "not found"},
      {"GET", "/" + std::string(9000, 'a'), 414, "longer than 8192"},
      {"POST", "/api/transactions", 405, "read-only"},
      {"DELETE", "/api/transactions/k1", 405, "read-only"},
      {"OPTIONS", "/", 405, "read-only"},
  };
  for (const auto &c : cases) {
    const HttpAnswer answer = http_request(address_, c.method, c.target);
    const std::string label = std::string(c.method) + " " + c.target.substr(0, 60);
    EXPECT_EQ(c.status, answer.status) << label;
    EXPECT_EQ("nosniff", answer.header("x-content-type-options")) << label;
    EXPECT_EQ("application/json; charset=utf-8", answer.header("content-type")) << label;
    const Json error = body_json(answer);
    ASSERT_TRUE(error.is_object()) << label << ": " << answer.body;
    EXPECT_NE(std::string::npos, error.value("error", "").find(c.reason))
        << label << ": " << answer.body;
    if (c.status == 405) {
      EXPECT_EQ("GET, HEAD", answer.header("allow")) << label;
    }
  }
}

TEST_F(HttpServerTest, ServesThePageWithItsHeaders) {
  start();
  for (const char *path : {"/", "/t/some-key", "/clients", "/static/app.js"}) {
    const HttpAnswer page = http_get(address_, path);
    EXPECT_EQ(200, page.status) << path;
    EXPECT_FALSE(page.body.empty()) << path;
    EXPECT_EQ("nosniff", page.header("x-content-type-options")) << path;
    EXPECT_EQ("no-cache", page.header("cache-control")) << path;
    EXPECT_NE(std::string::npos, page.header("content-security-policy").find("default-src"))
        << path;
  }
  EXPECT_NE(std::string::npos, http_get(address_, "/").header("content-type").find("text/html"));

  const HttpAnswer head = http_request(address_, "HEAD", "/static/app.js");
  EXPECT_EQ(200, head.status);
  EXPECT_TRUE(head.body.empty());
  EXPECT_EQ(std::to_string(http_get(address_, "/static/app.js").body.size()),
            head.header("content-length"));
}

TEST_F(HttpServerTest, RequiresTheBearerTokenWhenGivenOne) {
  start("s3cret-token");
  const struct {
    std::vector<std::string> headers;
    int status;
  } cases[] = {
      {{}, 401},
      {{"Authorization: Bearer wrong-token!"}, 401},
      {{"Authorization: Bearer s3cret-toke"}, 401},
      {{"Authorization: Basic czNjcmV0LXRva2Vu"}, 401},
      {{"Authorization: Bearer s3cret-token"}, 200},
      {{"Authorization: bearer  s3cret-token "}, 200},
  };
  for (const auto &c : cases) {
    for (const char *path : {"/api/clients", "/metrics", "/"}) {
      const HttpAnswer answer = http_get(address_, path, c.headers);
      const std::string label = path + (c.headers.empty() ? "" : " " + c.headers[0]);
      EXPECT_EQ(c.status, answer.status) << label;
      if (c.status == 401) {
        EXPECT_EQ("Bearer", answer.header("www-authenticate")) << label;
        EXPECT_TRUE(body_json(answer).contains("error")) << label;
      }
    }
  }
}

TEST_F(HttpServerTest, OversizedRequestsCostABoundAndTheServerGoesOn) {
  start();
  // A 1 MB URL: libevent stops reading at its header bound and answers 400 or 413 itself, or
  // just closes.
  const HttpAnswer huge = veska_test::http_exchange(
      address_, "GET /?" + std::string(1 << 20, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_TRUE(huge.status == 400 || huge.status == 413 || huge.status == 0) << huge.status;
  const HttpAnswer with_body = veska_test::http_exchange(
      address_,
      "GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 'b'));
  EXPECT_NE(200, with_body.status);
  EXPECT_EQ(200, http_get(address_, "/api/clients").status);
}

// libevent answers oversized headers itself; the answer still says nosniff.
TEST_F(HttpServerTest, OversizedHeadersGetLibeventsAnswerWithNoSniff) {
  start();
  const HttpAnswer answer = veska_test::http_exchange(
      address_, "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(40000, 'h') + "\r\n\r\n");
  EXPECT_TRUE(answer.status == 400 || answer.status == 413) << answer.status;
  EXPECT_EQ("nosniff", answer.header("x-content-type-options"));
  EXPECT_EQ(200, http_get(address_, "/api/clients").status);
}

TEST_F(HttpServerTest, ConnectionsBeyondTheCapAreRefusedUntilOneCloses) {
  start("", 2);
  auto idle = [&]() {
    const std::string port = address_.substr(address_.rfind(':') + 1);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to));
    return fd;
  };
  const int first = idle(), second = idle();
  // The server adopts connections as it accepts them: a request proves both were counted.
  HttpAnswer refused;
  for (int i = 0; i < 100 && refused.status != 503; ++i) {
    refused = http_get(address_, "/api/clients");
    if (refused.status != 503) usleep(50 * 1000);
  }
  EXPECT_EQ(503, refused.status);
  EXPECT_EQ("nosniff", refused.header("x-content-type-options"));
  EXPECT_NE(std::string::npos, body_json(refused).value("error", "").find("too many"));
  close(first);
  HttpAnswer served;
  for (int i = 0; i < 100 && served.status != 200; ++i) {
    served = http_get(address_, "/api/clients");
    if (served.status != 200) usleep(50 * 1000);
  }
  EXPECT_EQ(200, served.status);
  close(second);
}

TEST_F(HttpServerTest, MetricsPassPromtool) {
  veska::collector::metrics().messages[1].store(42, std::memory_order_relaxed);
  start();
  const HttpAnswer metrics = http_get(address_, "/metrics");
  ASSERT_EQ(200, metrics.status);
  EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", metrics.header("content-type"));
  EXPECT_NE(std::string::npos,
            metrics.body.find("veska_collector_messages_total{kind=\"event\"} 42\n"));
  for (const char *name :
       {"veska_collector_store_rows_written_total", "veska_collector_store_queued_events",
        "veska_collector_kafka_delivered_total", "veska_collector_protocol_errors_total"}) {
    EXPECT_NE(std::string::npos, metrics.body.find(std::string("# TYPE ") + name)) << name;
  }
  if (system("command -v promtool >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "promtool is not installed (Debian package prometheus): format not checked";
  }
  veska_test::TempDir folder("veska-metrics");
  const std::string path = folder.file("metrics.txt");
  std::ofstream(path) << metrics.body;
  const std::string command = "promtool check metrics < " + path + " 2>&1";
  FILE *pipe = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, pipe);
  std::string output;
  char chunk[512];
  while (fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
  EXPECT_EQ(0, pclose(pipe)) << output;
}

TEST(ListenSocket, TellsLoopbackAddressesApart) {
  const struct {
    const char *address;
    bool loopback;
  } cases[] = {{"127.0.0.1", true},  {"127.0.0.2", true},        {"127.255.1.9", true},
               {"::1", true},        {"::ffff:127.0.0.1", true}, {"0.0.0.0", false},
               {"::", false},        {"10.0.0.1", false},        {"192.168.1.20", false},
               {"128.0.0.1", false}, {"::ffff:10.0.0.1", false}, {"fe80::1", false}};
  for (const auto &c : cases) {
    struct sockaddr_storage storage = {};
    auto *v4 = reinterpret_cast<struct sockaddr_in *>(&storage);
    auto *v6 = reinterpret_cast<struct sockaddr_in6 *>(&storage);
    if (inet_pton(AF_INET, c.address, &v4->sin_addr) == 1) {
      v4->sin_family = AF_INET;
    } else {
      ASSERT_EQ(1, inet_pton(AF_INET6, c.address, &v6->sin6_addr)) << c.address;
      v6->sin6_family = AF_INET6;
    }
    EXPECT_EQ(c.loopback, veska::http::is_loopback(reinterpret_cast<struct sockaddr *>(&storage)))
        << c.address;
  }
}

TEST(BearerToken, ReadsTheFirstLineTrimmed) {
  veska_test::TempDir folder("veska-token");
  std::string token;
  std::string error;
  std::ofstream(folder.file("good")) << "  abc123\t\r\nsecond line\n";
  ASSERT_TRUE(veska::http::read_token_file(folder.file("good"), &token, &error)) << error;
  EXPECT_EQ("abc123", token);
  std::ofstream(folder.file("blank")) << " \n";
  EXPECT_FALSE(veska::http::read_token_file(folder.file("blank"), &token, &error));
  EXPECT_FALSE(veska::http::read_token_file(folder.file("absent"), &token, &error));
  EXPECT_NE(std::string::npos, error.find("absent"));
}

}  // namespace
