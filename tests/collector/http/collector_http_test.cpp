// veska-collector with --http, end to end: the ready file's second line, /metrics following
// what the intake decoded, and the bearer token read from --http-token-file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/client_events.h"
#include "support/collector_process.h"
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
