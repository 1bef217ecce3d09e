// The Wireshark dissector (tools/wireshark/veska.lua) read back through tshark's PDML output:
// a live loopback capture of the demo must show every message with exactly the fields the
// collector decoded, and a hand-made malformed stream must be flagged message by message
// while the valid messages around it still decode.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/collector_process.h"
#include "support/logging_process.h"

namespace {

using veska_test::ProcessOptions;
using veska_test::ProcessResult;
using veska_test::TempDir;

struct Field {
  std::string name, show, showname, value;  // value: the field's bytes in hex
};
// One "veska" protocol item of the PDML output: one message.
struct Pdu {
  std::vector<Field> fields;
  std::string get(const std::string &name, size_t index = 0) const {
    for (const Field &f : fields)
      if (f.name == name && index-- == 0) return f.show;
    return "<missing " + name + ">";
  }
  std::string raw(const std::string &name) const {
    for (const Field &f : fields)
      if (f.name == name) return f.value;
    return "<missing " + name + ">";
  }
  std::vector<std::string> experts() const {
    std::vector<std::string> out;
    for (const Field &f : fields)
      if (f.name == "_ws.expert.message") out.push_back(f.show);
    return out;
  }
};

std::string _unescape(std::string s) {
  const std::pair<const char *, char> entities[] = {
      {"&quot;", '"'}, {"&apos;", '\''}, {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}};
  for (const auto &entity : entities) {
    for (size_t at = s.find(entity.first); at != std::string::npos;
         at = s.find(entity.first, at + 1))
      s.replace(at, strlen(entity.first), 1, entity.second);
  }
  return s;
}

std::string _attribute(const std::string &line, const std::string &name) {
  const std::string key = " " + name + "=\"";
  size_t at = line.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  return _unescape(line.substr(at, line.find('"', at) - at));
}

ProcessResult _run(const std::string &program, const std::vector<std::string> &args) {
  ProcessOptions options;
  options.timeout_seconds = 120;
  return veska_test::run_process(program, args, options);
}

// Dissects a capture with the plugin and returns the veska items in stream order. PDML puts
// every element on a line of its own.
std::vector<Pdu> _dissect(const std::string &capture, const std::vector<std::string> &extra,
                          ProcessResult *result = nullptr) {
  std::vector<std::string> args = {"-n", "-r",  capture, "-X", "lua_script:" VESKA_DISSECTOR,
                                   "-T", "pdml"};
  args.insert(args.end(), extra.begin(), extra.end());
  ProcessResult run = _run(VESKA_TSHARK, args);
  std::vector<Pdu> pdus;
  bool inside = false;
  for (const std::string &line : veska_test::split_lines(run.out)) {
    if (line.find("<proto name=\"veska\"") != std::string::npos) {
      pdus.emplace_back();
      inside = true;
    } else if (line.find("<proto name=") != std::string::npos ||
               line.find("</packet>") != std::string::npos) {
      inside = false;
    } else if (inside && line.find("<field name=") != std::string::npos) {
      pdus.back().fields.push_back({_attribute(line, "name"), _attribute(line, "show"),
                                    _attribute(line, "showname"), _attribute(line, "value")});
    }
  }
  if (result != nullptr) *result = run;
  return pdus;
}

// dumpcap on the loopback interface, stopped (SIGINT, so it completes the file) by its pid.
class Capture {
 public:
  ~Capture() { stop(); }
  bool start(const std::string &file, const std::string &log, uint16_t port) {
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd >= 0) dup2(fd, 2);
      std::string filter = "tcp port " + std::to_string(port);
      execl(VESKA_DUMPCAP, "dumpcap", "-q", "-i", "lo", "-f", filter.c_str(), "-w", file.c_str(),
            static_cast<char *>(nullptr));
      _exit(127);
    }
    return pid_ > 0;
  }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGINT);
    int status = 0;
    for (int i = 0; i < 600 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

 private:
  pid_t pid_ = -1;
};

// Polls until predicate holds, at most timeout_s seconds.
template <typename Predicate>
bool _eventually(Predicate predicate, double timeout_s = 90) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  while (std::chrono::steady_clock::now() < deadline) {
    if (predicate()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return predicate();
}

void _touch_port(uint16_t port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address);
  close(s);
}

std::string _text(const nlohmann::json &bytes) {
  return bytes.is_string() ? bytes.get<std::string>() : "hex:" + bytes["hex"].get<std::string>();
}

// The list-shaped fields of an event, in tree order, as the dissector shows them ...
std::vector<std::string> _sections(const Pdu &pdu) {
  std::vector<std::string> out;
  for (const Field &f : pdu.fields) {
    if (f.name == "veska.item.value_bytes") {
      std::string hex;
      for (char c : f.show)
        if (c != ':') hex += c;
      out.push_back("veska.item.value=hex:" + hex);
    } else if (f.name == "veska.instance.transaction_id" || f.name == "veska.list.count" ||
               f.name == "veska.association.caller_type" || f.name == "veska.association.link_id" ||
               f.name == "veska.item.name" || f.name == "veska.item.value") {
      out.push_back(f.name + "=" + f.show);
    }
  }
  return out;
}

// ... and as the collector decoded them.
void _list(const nlohmann::json &list, std::vector<std::string> *out) {
  out->push_back("veska.list.count=" + std::to_string(list.size()));
  for (const auto &item : list) {
    out->push_back("veska.item.name=" + _text(item["name"]));
    out->push_back("veska.item.value=" + _text(item["value"]));
  }
}
std::vector<std::string> _sections(const nlohmann::json &event) {
  std::vector<std::string> out;
  if (event.contains("instance")) {
    out.push_back("veska.instance.transaction_id=" + _text(event["instance"]["transaction_id"]));
    _list(event["instance"]["transaction_data"], &out);
  }
  for (const char *side : {"horizontal", "vertical"}) {
    if (!event.contains(side)) continue;
    out.push_back("veska.association.caller_type=" +
                  std::to_string(event[side]["caller_type"].get<int>()));
    out.push_back("veska.association.link_id=" + _text(event[side]["link_id"]));
    _list(event[side]["stitch_ids"], &out);
  }
  for (const char *context : {"horizontal_context", "vertical_context"})
    if (event.contains(context)) _list(event[context], &out);
  return out;
}

TEST(Dissector, ShowsEveryMessageOfTheDemoCaptureAsTheCollectorDecodedIt) {
  if (geteuid() != 0) GTEST_SKIP() << "capturing on the loopback interface needs root";
  TempDir dir;
  veska_test::CollectorProcess collector;
  ASSERT_TRUE(collector.start()) << collector.error();
  Capture capture;
  const std::string pcap = dir.file("demo.pcapng");
  ASSERT_TRUE(capture.start(pcap, dir.file("dumpcap.log"), collector.port()));
  // The capture is live once a connection attempt to the port shows up in the file.
  ASSERT_TRUE(_eventually([&] {
    _touch_port(collector.port());
    return _run(VESKA_TSHARK, {"-n", "-r", pcap, "-Y", "tcp.flags.syn == 1"}).out.size() > 0;
  })) << veska_test::read_file(dir.file("dumpcap.log"));

  ProcessOptions quiet;
  quiet.set_env = {{"QIVA_LOGGER_DISABLE", "1"}};
  ProcessResult demo = veska_test::run_process(VESKA_DEMO_PATH, {collector.server()}, quiet);
  ASSERT_EQ(0, demo.exit_code) << demo.err;
  ASSERT_TRUE(collector.wait_for("event", 5));
  const veska_test::CollectorRecords records = collector.records();
  ASSERT_EQ(8u, records.size());  // register, statistics, heartbeat, five events

  // Not on the registered port: "Decode As" applies the dissector.
  const std::vector<std::string> decode_as = {
      "-d", "tcp.port==" + std::to_string(collector.port()) + ",veska"};
  ASSERT_TRUE(_eventually([&] { return _dissect(pcap, decode_as).size() >= records.size(); }));
  capture.stop();
  std::vector<Pdu> pdus = _dissect(pcap, decode_as);
  ASSERT_EQ(records.size(), pdus.size());

  for (size_t i = 0; i < pdus.size(); ++i) {
    SCOPED_TRACE("message " + std::to_string(i));
    const Pdu &pdu = pdus[i];
    const nlohmann::json &record = records[i];
    const std::string kind = record["kind"];
    EXPECT_EQ(kind, pdu.get("veska.kind"));
    EXPECT_TRUE(pdu.experts().empty()) << pdu.experts()[0];
    if (kind == "register") {
      EXPECT_EQ("0", pdu.get("veska.type"));
      EXPECT_EQ("0", pdu.get("veska.register.field"));
    } else if (kind == "statistics") {
      EXPECT_EQ(std::to_string(record["events_dropped"].get<uint64_t>()),
                pdu.get("veska.statistics.events_dropped"));
      EXPECT_EQ(std::to_string(record["connections_made"].get<uint64_t>()),
                pdu.get("veska.statistics.connections_made"));
    } else if (kind == "heartbeat") {
      EXPECT_EQ("1", pdu.get("veska.version"));
      EXPECT_EQ(std::to_string(record["seconds"].get<uint64_t>()),
                pdu.get("veska.heartbeat.seconds"));
    } else {
      ASSERT_EQ("event", kind);
      EXPECT_EQ(std::to_string(record["length"].get<int>() - 4), pdu.get("veska.length"));
      EXPECT_EQ(std::to_string(record["type"].get<int>()), pdu.get("veska.event.type"));
      const std::string type_name = record["type_name"];
      bool named = false;
      for (const Field &f : pdu.fields)
        named |=
            f.name == "veska.event.type" && f.showname.find(type_name + " (") != std::string::npos;
      EXPECT_TRUE(named) << type_name;
      EXPECT_EQ(record["blocked"].get<bool>() ? "1" : "0", pdu.get("veska.event.blocked"));
      EXPECT_EQ(std::to_string(record["seconds"].get<uint64_t>()), pdu.get("veska.event.seconds"));
      EXPECT_EQ(std::to_string(record["microseconds"].get<uint64_t>()),
                pdu.get("veska.event.microseconds"));
      EXPECT_EQ(_sections(record), _sections(pdu));
    }
  }
}

// A stream on the registered port 5455 with three faulty messages among valid ones, cut into
// segments so that messages share segments and one is split across two.
TEST(Dissector, FlagsMalformedMessagesAndDecodesTheNextOnes) {
  TempDir dir;
  const char *segments[] = {
      // register; unknown type 7; event whose transaction id (50 bytes) overruns its payload
      "00 00 00 02 00 00  07 00 00 02 ab cd "
      "01 00 00 12 00 01 00 01 00 00 03 e8 00 00 00 fa 00 32 41 42 43 44",
      // event announcing 5 list items with room for one descriptor; half a heartbeat header
      "01 00 00 10 00 01 00 08 00 00 03 e8 00 00 00 fa 05 01 00 00  02 01",
      // rest of the heartbeat (1000 s); statistics (3 dropped, 2 made); start of an event
      "00 06 00 00 03 e8 00 00  02 00 00 06 00 00 00 03 00 02  01 00 00 21 00 01 00 15",
      // HERE event: transaction id "ABC" with k=v, vertical RMI link 01 02, a vertical
      // context whose one item "n" has an empty value (the message's last bytes)
      "00 00 03 e8 00 00 00 fa 00 03 41 42 43 01 01 00 01 6b 76 05 02 01 02 00 "
      "01 01 00 00 6e"};
  std::string text;
  for (const char *segment : segments) text += std::string("0000 ") + segment + "\n\n";
  FILE *file = fopen(dir.file("stream.txt").c_str(), "w");
  ASSERT_NE(nullptr, file);
  fputs(text.c_str(), file);
  fclose(file);
  const std::string pcap = dir.file("stream.pcap");
  ProcessResult made = _run(VESKA_TEXT2PCAP, {"-q", "-4", "127.0.0.1,127.0.0.1", "-T", "40000,5455",
                                              dir.file("stream.txt"), pcap});
  ASSERT_EQ(0, made.exit_code) << made.err;

  ProcessResult run;
  std::vector<Pdu> pdus = _dissect(pcap, {}, &run);
  EXPECT_EQ(0, run.exit_code) << run.err;
  ASSERT_EQ(7u, pdus.size());
  const char *kinds[] = {
      "register", "unknown (type 7, version 0)", "event", "event", "heartbeat", "statistics",
      "event"};
  const char *faults[] = {nullptr,
                          "Unknown message type 7",
                          "Transaction id runs past",
                          "descriptors of 5 items run past",
                          nullptr,
                          nullptr,
                          nullptr};
  for (size_t i = 0; i < pdus.size(); ++i) {
    SCOPED_TRACE("message " + std::to_string(i));
    EXPECT_EQ(kinds[i], pdus[i].get("veska.kind"));
    std::vector<std::string> experts = pdus[i].experts();
    if (faults[i] == nullptr) {
      EXPECT_TRUE(experts.empty()) << experts[0];
    } else {
      ASSERT_EQ(1u, experts.size());
      EXPECT_NE(std::string::npos, experts[0].find(faults[i])) << experts[0];
    }
  }
  EXPECT_EQ("1000", pdus[4].get("veska.heartbeat.seconds"));
  EXPECT_EQ("3", pdus[5].get("veska.statistics.events_dropped"));
  EXPECT_EQ("2", pdus[5].get("veska.statistics.connections_made"));
  const Pdu &event = pdus[6];
  EXPECT_EQ("1", event.get("veska.event.type"));
  EXPECT_EQ("250", event.get("veska.event.microseconds"));
  EXPECT_EQ(
      (std::vector<std::string>{
          "veska.instance.transaction_id=ABC", "veska.list.count=1", "veska.item.name=k",
          "veska.item.value=v", "veska.association.caller_type=5",
          "veska.association.link_id=" + event.get("veska.association.link_id"),
          "veska.list.count=0", "veska.list.count=1", "veska.item.name=n", "veska.item.value="}),
      _sections(event));
  EXPECT_EQ("0102", event.raw("veska.association.link_id"));
}

}  // namespace
