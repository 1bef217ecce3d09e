// veska-collector itself, fed hand-made streams over raw loopback sockets: the JSON format,
// protocol errors, several connections at once, hostile clients, a clean stop and the command
// line.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "private_api.h"
#include "support/client_events.h"
#include "support/collector_process.h"
#include "support/event_builder.h"
#include "support/loopback.h"

namespace veska_test {
namespace {

using nlohmann::json;

// A raw client socket connected to the collector.
class RawClient {
 public:
  explicit RawClient(uint16_t port) : fd_(RawConnect(port)) {}
  ~RawClient() { close_now(); }
  bool connected() const { return fd_ >= 0; }
  bool send_bytes(const std::vector<uint8_t> &bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  // True when the peer closed: recv returns 0 (or a reset) within the socket's time-out.
  bool peer_closed() {
    timeval timeout = {60, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char byte;
    ssize_t n = recv(fd_, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }
  void close_now() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes with a reset instead of an orderly end.
  void reset_now() {
    linger hard = {1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close_now();
  }

 private:
  int fd_ = -1;
};

std::vector<uint8_t> register_message() {
  std::vector<uint8_t> bytes(VE_REGISTER_MESSAGE_SIZE);
  VE_serialise_register_message(bytes.data());
  return bytes;
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An event with every section; binary bytes where the format must switch to hex.
std::vector<uint8_t> full_event() {
  EventBuilder b;
  qiva_event_t &e = b.event();
  e.type = QIVA_HERE_EVENT;
  e.blocked = 1;
  e.timestamp = {1000, 250};
  b.transaction_id({'A', 'B', 'C'});
  e.instance_id.transaction_data = b.list({{"k", {'v'}}});
  e.horizontal_id.caller_type = 3;
  b.link_id(&e.horizontal_id, {0x01, 0x02});
  e.horizontal_id.stitch_ids = b.list({{"s", {'x', 0x7F}}});
  e.vertical_id.caller_type = 5;
  b.link_id(&e.vertical_id, {'u', 'p'});
  e.horizontal_context = b.list({{"c", {'1'}}, {"e", {}}});
  e.vertical_context = b.list({{"e", {}}});
  return b.serialise();
}

TEST(CollectorTool, WritesEveryMessageKindAsOneJsonLine) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start()) << collector.error();
  std::vector<uint8_t> statistics = {0x02, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x03, 0x00, 0x02};
  std::vector<uint8_t> heartbeat = {0x02, 0x01, 0x00, 0x06, 0x00, 0x00, 0x03, 0xE8, 0x00, 0x00};
  std::vector<uint8_t> event = full_event();
  RawClient client(collector.port());
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.send_bytes(register_message() + statistics + heartbeat + event));
  ASSERT_TRUE(collector.wait_for("event", 1));

  CollectorRecords all = collector.records();
  ASSERT_EQ(4u, all.size());
  for (const json &record : all) {
    EXPECT_EQ(1, record["connection"]);
    EXPECT_EQ(all[0]["peer"], record["peer"]);
  }
  EXPECT_EQ(json::parse(R"({"connection":1,"peer":)" + all[0]["peer"].dump() +
                        R"(,"kind":"register","offset":0})"),
            all[0]);
  EXPECT_EQ(3, all[1]["events_dropped"]);
  EXPECT_EQ(2, all[1]["connections_made"]);
  EXPECT_EQ(6, all[1]["offset"]);
  EXPECT_EQ(1000, all[2]["seconds"]);
  EXPECT_EQ(16, all[2]["offset"]);

  json expected = json::parse(R"({
    "kind": "event", "offset": 26, "type": 1, "type_name": "HERE", "blocked": true,
    "seconds": 1000, "microseconds": 250,
    "instance": {"transaction_id": "ABC", "transaction_data": [{"name": "k", "value": "v"}]},
    "horizontal": {"caller_type": 3, "link_id": {"hex": "0102"},
                   "stitch_ids": [{"name": "s", "value": {"hex": "787f"}}]},
    "vertical": {"caller_type": 5, "link_id": "up", "stitch_ids": []},
    "horizontal_context": [{"name": "c", "value": "1"}, {"name": "e", "value": ""}],
    "vertical_context": [{"name": "e", "value": ""}]})");
  expected["connection"] = 1;
  expected["peer"] = all[0]["peer"];
  expected["length"] = event.size();
  EXPECT_EQ(expected, all[3]) << all[3].dump();
  EXPECT_EQ(0, collector.stop());
}

TEST(CollectorTool, ProtocolErrorClosesThatConnectionOnly) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start({"--summary"})) << collector.error();
  RawClient good(collector.port());
  RawClient bad(collector.port());
  ASSERT_TRUE(good.connected() && bad.connected());
  ASSERT_TRUE(good.send_bytes(register_message()));
  ASSERT_TRUE(collector.wait_for("register", 1));
  // Message type 7 does not exist.
  ASSERT_TRUE(bad.send_bytes(register_message() + std::vector<uint8_t>{0x07, 0x00, 0x00, 0x00}));
  ASSERT_TRUE(collector.wait_for("protocol_error", 1));
  EXPECT_TRUE(bad.peer_closed());
  ASSERT_TRUE(good.send_bytes(full_event()));
  ASSERT_TRUE(collector.wait_for("event", 1));

  json error = collector.records("protocol_error").at(0);
  EXPECT_EQ(6, error["offset"]);
  EXPECT_TRUE(error["reason"].is_string());
  EXPECT_FALSE(error["reason"].get<std::string>().empty());
  EXPECT_EQ(2, error["connection"]);  // the second connection accepted
  EXPECT_EQ(1, collector.records("event").at(0)["connection"]);
  EXPECT_EQ(1, collector.stop());  // a protocol error was seen
  json summary = json::parse(collector.stderr_text(), nullptr, false);
  ASSERT_FALSE(summary.is_discarded()) << collector.stderr_text();
  EXPECT_EQ(2, summary["connections"]);
  EXPECT_EQ(1, summary["protocol_errors"]);
  EXPECT_EQ(2, summary["messages"]["register"]);
}

TEST(CollectorTool, StreamEndingInsideAMessageIsAProtocolError) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start()) << collector.error();
  {
    RawClient client(collector.port());
    std::vector<uint8_t> event = full_event();
    event.resize(event.size() - 3);
    ASSERT_TRUE(client.send_bytes(register_message() + event));
  }
  ASSERT_TRUE(collector.wait_for("protocol_error", 1));
  EXPECT_EQ(6, collector.records("protocol_error").at(0)["offset"]);
  EXPECT_EQ(1, collector.stop());
}

TEST(CollectorTool, QuietCountsWithoutWriting) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start({"--quiet", "--summary", "--count", "2"})) << collector.error();
  RawClient client(collector.port());
  ASSERT_TRUE(client.send_bytes(register_message() + full_event() + full_event()));
  EXPECT_EQ(0, collector.wait_exit());
  EXPECT_TRUE(collector.records().empty());
  json summary = json::parse(collector.stderr_text(), nullptr, false);
  ASSERT_FALSE(summary.is_discarded()) << collector.stderr_text();
  EXPECT_EQ(2, summary["messages"]["event"]);
}

TEST(CollectorTool, IdleExitEndsAQuietCollector) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start({"--idle-exit", "0.5"})) << collector.error();
  EXPECT_EQ(0, collector.wait_exit());
}

// Events whose transaction ids are "<prefix><n>" for n in [0, count).
std::vector<uint8_t> numbered_events(const std::string &prefix, int count) {
  std::vector<uint8_t> bytes;
  for (int n = 0; n < count; ++n) bytes = bytes + serialise_test_event(prefix + std::to_string(n));
  return bytes;
}

std::set<std::string> transaction_ids(const CollectorRecords &events) {
  std::set<std::string> ids;
  for (const json &event : events)
    ids.insert(event["instance"]["transaction_id"].get<std::string>());
  return ids;
}

// The descriptors a process holds.
std::set<int> open_descriptors(pid_t pid) {
  std::set<int> open;
  DIR *folder = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (folder == nullptr) return open;
  while (dirent *entry = readdir(folder)) {
    if (entry->d_name[0] != '.') open.insert(atoi(entry->d_name));
  }
  closedir(folder);
  return open;
}

json summary_of(const CollectorProcess &collector) {
  std::string text = collector.stderr_text();
  size_t last_line = text.rfind('\n', text.size() < 2 ? 0 : text.size() - 2);
  return json::parse(last_line == std::string::npos ? text : text.substr(last_line + 1), nullptr,
                     false);
}

TEST(CollectorTool, StopSignalRightAfterAFlushLosesNothing) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start({"--summary"})) << collector.error();
  qiva_config_t config;
  std::memset(&config, 0, sizeof config);
  config.server = collector.server_c_str();
  config.connect_timeout = 5000;
  config.queue_size = 20000;
  ASSERT_EQ(0, QIVA_init(&config));
  const int kEvents = 10000;
  for (int n = 0; n < kEvents; ++n) {
    std::string id = "order-" + std::to_string(n);
    EventBuilder b;
    b.event().type = QIVA_HERE_EVENT;
    QIVA_time(&b.event().timestamp);
    b.transaction_id(Bytes(id.begin(), id.end()));
    // About 1 KB each: 10 MB, more than the sockets between the two processes hold.
    b.event().instance_id.transaction_data = b.list({{"padding", Bytes(960, 'p')}});
    ASSERT_EQ(0, QIVA_track(&config, &b.event()));
  }
  qiva_time_t generous = {60, 0};  // a duration: bounded even if the collector failed
  ASSERT_EQ(0, QIVA_flush(&config, &generous));
  EXPECT_EQ(0, collector.stop());  // at once: whatever is still in flight must be read

  std::set<std::string> ids = transaction_ids(collector.records("event"));
  EXPECT_EQ(static_cast<size_t>(kEvents), ids.size());
  EXPECT_EQ(1u, ids.count("order-0"));
  EXPECT_EQ(1u, ids.count("order-" + std::to_string(kEvents - 1)));
  json summary = summary_of(collector);
  EXPECT_EQ(kEvents, summary["messages"]["event"]) << collector.stderr_text();
  QIVA_shutdown(&config);
}

// Garbage, a reset in the middle of a message, a header announcing 65535 bytes followed by
// silence and a sender of one byte at a time, all at once: every other client's events arrive.
TEST(CollectorTool, HostileClientsDoNotDisturbTheOthers) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start({"--summary", "--client-timeout", "3"})) << collector.error();
  std::vector<std::unique_ptr<RawClient>> good;
  for (int i = 0; i < 3; ++i) {
    good.emplace_back(new RawClient(collector.port()));
    ASSERT_TRUE(good.back()->connected());
    ASSERT_TRUE(good.back()->send_bytes(register_message()));
  }
  RawClient garbage(collector.port()), resetting(collector.port()), stalled(collector.port());
  ASSERT_TRUE(garbage.connected() && resetting.connected() && stalled.connected());
  std::vector<uint8_t> half_event = full_event();
  half_event.resize(half_event.size() / 2);
  ASSERT_TRUE(resetting.send_bytes(register_message() + half_event));
  ASSERT_TRUE(stalled.send_bytes(register_message() +
                                 std::vector<uint8_t>{0x01, 0x00, 0xFF, 0xFF, 0x00, 0x01, 0x00}));
  ASSERT_TRUE(collector.wait_for("register", 5));
  resetting.reset_now();
  ASSERT_TRUE(garbage.send_bytes({0x09, 0x09, 0x09, 0x09, 0x42}));
  std::thread slow([&] {
    RawClient client(collector.port());
    for (uint8_t byte : register_message() + std::vector<uint8_t>{0x02, 0x00, 0x00, 0x06, 0x00,
                                                                  0x00, 0x00, 0x07, 0x00, 0x01}) {
      client.send_bytes({byte});
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(good[i]->send_bytes(numbered_events("good" + std::to_string(i) + "-", 300)));
  }
  ASSERT_TRUE(collector.wait_for("event", 900));
  slow.join();
  ASSERT_TRUE(collector.wait_for("statistics", 1));  // the slow sender was served whole
  EXPECT_EQ(7, collector.records("statistics").at(0)["events_dropped"]);
  EXPECT_TRUE(stalled.peer_closed());  // after --client-timeout
  EXPECT_TRUE(garbage.peer_closed());

  CollectorRecords events = collector.records("event");
  EXPECT_EQ(900u, transaction_ids(events).size());
  for (const json &event : events) EXPECT_LE(event["connection"].get<int>(), 3);
  EXPECT_EQ(1, collector.stop());  // protocol errors were seen
  json summary = summary_of(collector);
  ASSERT_FALSE(summary.is_discarded()) << collector.stderr_text();
  EXPECT_GE(summary["timed_out"].get<int>(), 1);  // the stalled one, and idle good ones
  // The garbage always; the reset when its half message was read before the reset.
  EXPECT_GE(summary["protocol_errors"].get<int>(), 1);
  EXPECT_LE(summary["protocol_errors"].get<int>(), 2);
  EXPECT_EQ(900, summary["messages"]["event"]);
}

// Beyond --max-connections, and when the process runs out of descriptors, new connections are
// closed at once and counted; the served ones go on, and room is taken up again when it frees.
TEST(CollectorTool, ConnectionsBeyondTheCapOrTheDescriptorsAreClosedAtOnce) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start({"--summary", "--max-connections", "3"})) << collector.error();
  std::vector<std::unique_ptr<RawClient>> served;
  for (int i = 0; i < 3; ++i) {
    served.emplace_back(new RawClient(collector.port()));
    ASSERT_TRUE(served.back()->send_bytes(register_message()));
  }
  ASSERT_TRUE(collector.wait_for("register", 3));
  for (int i = 0; i < 5; ++i) {
    RawClient extra(collector.port());
    EXPECT_TRUE(extra.peer_closed()) << i;
  }
  served[0]->close_now();
  // Room again once the collector has seen the close; until then a newcomer is refused.
  std::unique_ptr<RawClient> newcomer;
  for (int attempt = 0; attempt < 200 && newcomer == nullptr; ++attempt) {
    std::unique_ptr<RawClient> client(new RawClient(collector.port()));
    ASSERT_TRUE(client->send_bytes(register_message()));
    if (collector.wait_for("register", 4, 0.5)) newcomer = std::move(client);
  }
  ASSERT_NE(nullptr, newcomer);

  // Out of descriptors: with one connection under the cap closed, the collector may open no
  // descriptor numbered above those it holds then (the limit bounds numbers, not counts).
  ASSERT_TRUE(served[1]->send_bytes(numbered_events("before-", 10)));
  ASSERT_TRUE(collector.wait_for("event", 10));
  const size_t holding = open_descriptors(collector.pid()).size();
  served[1]->close_now();
  for (int i = 0; i < 600 && open_descriptors(collector.pid()).size() >= holding; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::set<int> open = open_descriptors(collector.pid());
  ASSERT_LT(open.size(), holding);
  rlimit limit;
  ASSERT_EQ(0, prlimit(collector.pid(), RLIMIT_NOFILE, nullptr, &limit));
  limit.rlim_cur = 0;
  while (open.count(static_cast<int>(limit.rlim_cur)) != 0) ++limit.rlim_cur;
  ASSERT_EQ(0, prlimit(collector.pid(), RLIMIT_NOFILE, &limit, nullptr));
  for (int i = 0; i < 4; ++i) {
    RawClient extra(collector.port());
    extra.send_bytes(register_message());
    EXPECT_TRUE(extra.peer_closed()) << i;
  }
  ASSERT_TRUE(served[2]->send_bytes(numbered_events("during-", 10)));
  ASSERT_TRUE(newcomer->send_bytes(numbered_events("newcomer-", 10)));
  ASSERT_TRUE(collector.wait_for("event", 30));
  EXPECT_EQ(30u, transaction_ids(collector.records("event")).size());

  EXPECT_EQ(0, collector.stop());
  json summary = summary_of(collector);
  ASSERT_FALSE(summary.is_discarded()) << collector.stderr_text();
  EXPECT_GE(summary["refused"].get<int>(), 9);
  EXPECT_EQ(4, summary["connections"]);
  EXPECT_EQ(4, summary["messages"]["register"]);
}

TEST(CollectorTool, BadOptionsAndAddressesExitWithStatus2) {
  const std::vector<std::vector<std::string>> bad_arguments = {{"--no-such-option"},
                                                               {"--count", "zero"},
                                                               {"--count", "0"},
                                                               {"--idle-exit", "-1"},
                                                               {"--summary=yes"}};
  for (const std::vector<std::string> &arguments : bad_arguments) {
    CollectorProcess collector;
    EXPECT_FALSE(collector.start(arguments)) << arguments[0];
    EXPECT_NE(std::string::npos, collector.error().find("status 2")) << collector.error();
  }
  CollectorProcess first;
  ASSERT_TRUE(first.start()) << first.error();
  CollectorProcess second;
  EXPECT_FALSE(second.start({}, first.address()));  // the port is taken
  EXPECT_NE(std::string::npos, second.error().find("status 2")) << second.error();
  CollectorProcess malformed;
  EXPECT_FALSE(malformed.start({}, "not-an-address"));
  EXPECT_NE(std::string::npos, malformed.error().find("status 2")) << malformed.error();
  EXPECT_EQ(0, first.stop());
}

}  // namespace
}  // namespace veska_test
