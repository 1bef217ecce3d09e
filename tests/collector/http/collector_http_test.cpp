// veska-collector with --http, end to end: the ready file's second line, /metrics following
// what the intake decoded, the bearer token read from --http-token-file, and the API answering
// from a --store the intake fills.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/client_events.h"
#include "support/collector_process.h"
#include "support/event_builder.h"
#include "support/http_client.h"
#include "support/loopback.h"

namespace {

using veska_test::CollectorProcess;
using veska_test::http_get;
using veska_test::HttpAnswer;

const std::vector<uint8_t> kRegister = {0x00, 0x00, 0x00, 0x02, 0x00, 0x00};

// Polls `target` until its body holds `text`: the intake publishes its counts once a turn.
bool _wait_for_text(const std::string &address, const std::string &target, const std::string &text,
                    const std::vector<std::string> &headers = {}) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (http_get(address, target, headers).body.find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void _send_events(uint16_t port, int count) {
  const int s = veska_test::RawConnect(port);
  ASSERT_GE(s, 0);
  std::vector<uint8_t> bytes = kRegister;
  for (int i = 0; i < count; ++i) {
    const std::vector<uint8_t> event = veska_test::serialise_test_event("t" + std::to_string(i));
    bytes.insert(bytes.end(), event.begin(), event.end());
  }
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL));
  close(s);
}

TEST(CollectorHttp, ServesMetricsOfWhatTheIntakeDecoded) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start({"--http", "127.0.0.1:0"})) << collector.error();
  ASSERT_EQ(0u, collector.http_address().rfind("127.0.0.1:", 0)) << collector.http_address();
  _send_events(collector.port(), 3);
  ASSERT_TRUE(collector.wait_for("event", 3));
  EXPECT_TRUE(_wait_for_text(collector.http_address(), "/metrics",
                             "veska_collector_messages_total{kind=\"event\"} 3\n"));
  // Without --store the API says so; the page is served all the same.
  EXPECT_EQ(503, http_get(collector.http_address(), "/api/clients").status);
  EXPECT_EQ(200, http_get(collector.http_address(), "/").status);
  EXPECT_EQ(0, collector.stop());
  EXPECT_EQ("", collector.stderr_text());  // loopback: no warning
}

// Transaction `id`: STARTED now, then COMMIT 2 ms later (the store keeps a week).
std::vector<uint8_t> _committed_transaction(const std::string &id) {
  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  std::vector<uint8_t> bytes;
  for (int step = 0; step < 2; ++step) {
    veska_test::EventBuilder b;
    b.event().type = step == 0 ? QIVA_STARTED_EVENT : QIVA_COMMIT_EVENT;
    const int64_t at = now + step * 2000;
    b.event().timestamp = {static_cast<qiva_uint32_t>(at / 1000000),
                           static_cast<qiva_uint32_t>(at % 1000000)};
    b.transaction_id(veska_test::Bytes(id.begin(), id.end()));
    const std::vector<uint8_t> event = b.serialise();
    bytes.insert(bytes.end(), event.begin(), event.end());
  }
  return bytes;
}

TEST(CollectorHttp, AnswersFromTheStoreTheIntakeFills) {
  veska_test::TempDir folder("veska-http-store");
  CollectorProcess collector;
  ASSERT_TRUE(
      collector.start({"--quiet", "--store", folder.file("store.sqlite"), "--http", "127.0.0.1:0"}))
      << collector.error();
  const std::string http = collector.http_address();
  const int s = veska_test::RawConnect(collector.port());
  ASSERT_GE(s, 0);
  std::vector<uint8_t> bytes = kRegister;
  for (const char *id : {"t0", "t1", "t2"}) {
    const std::vector<uint8_t> transaction = _committed_transaction(id);
    bytes.insert(bytes.end(), transaction.begin(), transaction.end());
  }
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL));
  close(s);
  ASSERT_TRUE(_wait_for_text(http, "/api/transactions?id=t1", "\"total\":1"));

  const nlohmann::json found =
      nlohmann::json::parse(http_get(http, "/api/transactions?id=t1").body);
  ASSERT_EQ(1u, found["transactions"].size());
  const nlohmann::json &summary = found["transactions"][0];
  EXPECT_EQ("t1", summary["transaction_id"]);
  EXPECT_EQ("commit", summary["outcome"]);
  EXPECT_EQ(2000, summary["duration_us"]);
  EXPECT_EQ(2, summary["events"]);

  const HttpAnswer detail =
      http_get(http, "/api/transactions/" + summary["key"].get<std::string>());
  ASSERT_EQ(200, detail.status) << detail.body;
  EXPECT_EQ(2u, nlohmann::json::parse(detail.body)["events"].size());
  EXPECT_EQ(404, http_get(http, "/api/transactions/zzzzzzzz").status);
  EXPECT_TRUE(_wait_for_text(http, "/api/transactions?outcome=commit&limit=2", "\"total\":3"));
  const nlohmann::json clients = nlohmann::json::parse(http_get(http, "/api/clients").body);
  EXPECT_EQ(1u, clients["clients"].size());
  EXPECT_EQ(0, collector.stop());
}

TEST(CollectorHttp, TokenFileGuardsEveryRequest) {
  veska_test::TempDir folder("veska-http-token");
  std::ofstream(folder.file("token")) << "t0ken\n";
  CollectorProcess collector;
  ASSERT_TRUE(collector.start({"--http", "127.0.0.1:0", "--http-token-file", folder.file("token")}))
      << collector.error();
  const HttpAnswer refused = http_get(collector.http_address(), "/metrics");
  EXPECT_EQ(401, refused.status);
  EXPECT_EQ("Bearer", refused.header("www-authenticate"));
  EXPECT_EQ(200,
            http_get(collector.http_address(), "/metrics", {"Authorization: Bearer t0ken"}).status);
  EXPECT_EQ(0, collector.stop());

  CollectorProcess without_file;
  EXPECT_FALSE(
      without_file.start({"--http", "127.0.0.1:0", "--http-token-file", folder.file("absent")}));
  EXPECT_EQ(2, without_file.wait_exit());
  EXPECT_NE(std::string::npos, without_file.stderr_text().find("token file"));
}

}  // namespace
