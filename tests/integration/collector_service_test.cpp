// veska-collector as a service: the refusals of its command line, the output file shared by
// mistake between two collectors, reopening it on SIGHUP, and exit statuses that say what
// happened.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "private_api.h"
#include "support/client_events.h"
#include "support/collector_process.h"
#include "support/loopback.h"

namespace veska_test {
namespace {

struct CollectorRun {
  int status = -1;
  std::string text;  // standard output and standard error together
};

// Runs the collector in folder with arguments to its end (bounded by timeout(1)).
CollectorRun run_collector(const std::string &folder, const std::vector<std::string> &arguments) {
  std::string command = "cd '" + folder + "' && timeout 120 '" + collector_path() + "'";
  for (const std::string &argument : arguments) command += " '" + argument + "'";
  CollectorRun run;
  FILE *pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe)) > 0;) run.text.append(chunk, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

bool send_all(int fd, const std::vector<uint8_t> &bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Sends a register message and one event with this transaction id on a new connection.
bool send_event(uint16_t port, const std::string &id) {
  std::vector<uint8_t> bytes(VE_REGISTER_MESSAGE_SIZE);
  VE_serialise_register_message(bytes.data());
  const std::vector<uint8_t> event = serialise_test_event(id);
  bytes.insert(bytes.end(), event.begin(), event.end());
  const int fd = RawConnect(port);
  const bool sent = fd >= 0 && send_all(fd, bytes);
  if (fd >= 0) close(fd);
  return sent;
}

bool wait_for_text(const std::string &path, const std::string &text) {
  for (int i = 0; i < 6000; ++i) {
    if (read_file(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(CollectorCommandLine, RefusalsNameTheirCause) {
  TempDir folder("veska-collector-cli");
  RawListener busy;
  struct Row {
    std::vector<std::string> arguments;
    int status;
    std::string fragment;
  };
  const std::vector<Row> rows = {
      {{"--listen", "127.0.0.1:99999"}, 2, "port above 65535"},
      {{"--listen", "collector.veska-test.invalid:5455"}, 2, "cannot resolve"},
      {{"--listen", busy.address()}, 2, "address already in use"},
      {{"--listen", "127.0.0.1:0", "--ready-file", folder.file("none/ready")},
       2,
       "No such file or directory"},
      {{"--output", "--summary"}, 2, "needs a value, not the option '--summary'"},
      {{"--idle-exit", "0x10"}, 2, "not '0x10'"},
      {{"--count", "3", "--count=4"}, 2, "'--count' given twice"},
      {{"--retain-bytes", "5"}, 2, "'--retain-bytes' needs --store"},
      {{"--http-token-file", "token"}, 2, "'--http-token-file' needs --http"},
      {{"--kafka-group", "readers"}, 2, "'--kafka-group' needs --kafka-consume"},
      {{"--version"}, 0, std::string("veska-collector ") + QIVA_version()},
      {{"--help"}, 0, "-h, --help"},
  };
  for (const Row &row : rows) {
    const CollectorRun run = run_collector(folder.path(), row.arguments);
    EXPECT_EQ(row.status, run.status) << row.arguments[0] << ": " << run.text;
    EXPECT_NE(std::string::npos, run.text.find(row.fragment))
        << row.arguments[0] << ": " << run.text;
  }
  struct stat status;
  EXPECT_NE(0, stat(folder.file("--summary").c_str(), &status));
}

TEST(CollectorVersion, StartsWithTheRelease) {
  const std::string version = QIVA_version();
  EXPECT_EQ(0u, version.find(VESKA_RELEASE " (revision ")) << version;
}

// A second collector started by mistake on the first one's output file, once on the same port
// and once on another: both refuse, the file is left whole and the first goes on appending.
TEST(CollectorOutputFile, ASecondCollectorLeavesTheFirstOnesFileAlone) {
  CollectorProcess first;
  ASSERT_TRUE(first.start()) << first.error();
  ASSERT_TRUE(send_event(first.port(), "before"));
  ASSERT_TRUE(first.wait_for("event", 1));

  TempDir folder("veska-collector-second");
  const CollectorRun same_port = run_collector(
      folder.path(),
      {"--listen", first.address(), "--output", first.output_path(), "--idle-exit", "5"});
  EXPECT_EQ(2, same_port.status);
  EXPECT_NE(std::string::npos, same_port.text.find("address already in use")) << same_port.text;
  const CollectorRun other_port = run_collector(
      folder.path(),
      {"--listen", "127.0.0.1:0", "--output", first.output_path(), "--idle-exit", "5"});
  EXPECT_EQ(2, other_port.status);
  EXPECT_NE(std::string::npos, other_port.text.find("(pid " + std::to_string(first.pid()) + ")"))
      << other_port.text;

  ASSERT_TRUE(send_event(first.port(), "after"));
  ASSERT_TRUE(first.wait_for("event", 2));
  EXPECT_EQ(0, first.stop());
  const std::string content = read_file(first.output_path());
  EXPECT_EQ(std::string::npos, content.find('\0')) << "a hole of zero bytes";
  EXPECT_EQ(4u, first.records().size());  // two registers, two events
}

TEST(CollectorOutputFile, HangupReopensTheFileAfterARotation) {
  CollectorProcess collector;
  ASSERT_TRUE(collector.start({"--summary"})) << collector.error();
  ASSERT_TRUE(send_event(collector.port(), "old-file"));
  ASSERT_TRUE(collector.wait_for("event", 1));
  const std::string rotated = collector.output_path() + ".1";
  ASSERT_EQ(0, rename(collector.output_path().c_str(), rotated.c_str()));
  ASSERT_EQ(0, kill(collector.pid(), SIGHUP));
  // The reopen creates the file again under its name; only then can it receive the event.
  for (int i = 0; i < 6000 && access(collector.output_path().c_str(), F_OK) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(send_event(collector.port(), "new-file"));
  EXPECT_TRUE(wait_for_text(collector.output_path(), "new-file"));
  EXPECT_EQ(0, collector.stop());  // a hangup is no reason to stop, and the drain still happens
  EXPECT_NE(std::string::npos, read_file(rotated).find("old-file"));
  EXPECT_EQ(std::string::npos, read_file(rotated).find("new-file"));
  EXPECT_NE(std::string::npos, collector.stderr_text().find("\"connections\":2"));
}

#if defined(__SANITIZE_THREAD__)
// librdkafka starts its broker threads where ThreadSanitizer does not see them, and they crash
// inside the sanitizer's allocator; the Kafka case runs in the other builds.
constexpr bool kKafkaCanRun = false;
#else
constexpr bool kKafkaCanRun = true;
#endif

// Messages an output could not write or deliver are lost: counted, reported, and status 3.
TEST(CollectorExitStatus, MessagesAnOutputLostMakeItThree) {
  struct Case {
    std::vector<std::string> arguments;
    std::string fragment;
  };
  const std::vector<Case> cases = {
      {{"--output", "/dev/full"}, "No space left on device"},
      {{"--quiet", "--kafka-brokers", LoopbackAddress(UnusedPort()), "--kafka-property",
        "message.timeout.ms=500"},
       "\"kafka\":{\"delivered\":0,\"failed\":2}"},
  };
  for (const Case &lost : cases) {
    if (!kKafkaCanRun && lost.arguments[1] == "--kafka-brokers") continue;
    TempDir folder("veska-collector-lost");
    const std::string ready = folder.file("ready");
    std::vector<std::string> arguments = {"--listen", "127.0.0.1:0", "--ready-file", ready,
                                          "--count",  "1",           "--summary"};
    arguments.insert(arguments.end(), lost.arguments.begin(), lost.arguments.end());
    std::future<CollectorRun> run =
        std::async(std::launch::async, [&] { return run_collector(folder.path(), arguments); });
    std::string address;
    for (int i = 0; i < 6000 && address.empty(); ++i) {
      address = read_file(ready);
      if (address.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(address.empty()) << lost.arguments[0];
    ASSERT_TRUE(
        send_event(static_cast<uint16_t>(atoi(address.c_str() + address.rfind(':') + 1)), "lost"));
    const CollectorRun result = run.get();
    EXPECT_EQ(3, result.status) << result.text;
    EXPECT_NE(std::string::npos, result.text.find(lost.fragment)) << result.text;
  }
}

}  // namespace
}  // namespace veska_test
