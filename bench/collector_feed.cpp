// collector_feed: sends pre-serialised typical events (bench/typical_event.h) over one or more
// loopback connections as fast as the sockets take them, each connection starting with a
// register message, and prints the rate. With --wait-close it also waits until the collector
// closes every connection, which `veska-collector --quiet --count N` does once it has decoded
// N events, and prints the decode rate over that time:
//
//   veska-collector --quiet --summary --count 20000000 --listen 127.0.0.1:5999 &
//   collector_feed --address 127.0.0.1:5999 --events 20000000 --wait-close
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bench/typical_event.h"
#include "private_api.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBlockEvents = 4096;  // distinct events in the block sent again and again

struct Options {
  std::string address = "127.0.0.1:5455";
  uint64_t events = 3000000;
  unsigned connections = 1;
  bool wait_close = false;
  double close_timeout = 120;
};

const char kUsage[] =
    "Usage: collector_feed [--address HOST:PORT] [--events N] [--connections C] [--wait-close]\n"
    "                      [--close-timeout SECONDS]\n"
    "Sends N typical events (split over C loopback connections, each starting with a register\n"
    "message) as fast as possible and prints events/s. HOST must be a loopback address\n"
    "(127.0.0.0/8 or ::1). --wait-close waits (at most --close-timeout, default 120 s) until\n"
    "the collector has closed every connection and prints the rate up to then.\n";

// Numeric loopback addresses only: this tool never talks to another host.
bool _loopback_address(const std::string &text, sockaddr_storage *address, socklen_t *size) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = text.substr(0, colon);
  int port = atoi(text.c_str() + colon + 1);
  if (port <= 0 || port > 65535) return false;
  memset(address, 0, sizeof *address);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  auto *in4 = reinterpret_cast<sockaddr_in *>(address);
  auto *in6 = reinterpret_cast<sockaddr_in6 *>(address);
  if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1) {
    if ((ntohl(in4->sin_addr.s_addr) >> 24) != 127) return false;
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(port));
    *size = sizeof *in4;
    return true;
  }
  if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
    if (!IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) return false;
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    *size = sizeof *in6;
    return true;
  }
  return false;
}

bool _send_all(int fd, const uint8_t *data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Sends a register message, then events whole blocks at a time (the last one cut to a whole
// number of events). The number of events sent.
uint64_t _feed(int fd, const std::vector<uint8_t> &block, size_t event_size, uint64_t events) {
  uint8_t register_message[VE_REGISTER_MESSAGE_SIZE];
  VE_serialise_register_message(register_message);
  if (!_send_all(fd, register_message, sizeof register_message)) return 0;
  uint64_t sent = 0;
  while (sent < events) {
    uint64_t now = events - sent < kBlockEvents ? events - sent : kBlockEvents;
    if (!_send_all(fd, block.data(), now * event_size)) break;
    sent += now;
  }
  return sent;
}

// Waits until the peer closes fd (end of stream or reset) or the deadline passes.
bool _wait_closed(int fd, Clock::time_point deadline) {
  shutdown(fd, SHUT_WR);
  char sink[4096];
  while (Clock::now() < deadline) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    ssize_t n = recv(fd, sink, sizeof sink, 0);
    if (n <= 0) return true;
  }
  return false;
}

int _usage_error(const char *message) {
  fprintf(stderr, "collector_feed: %s\n%s", message, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--wait-close") {
      options.wait_close = true;
    } else if (value == nullptr) {
      return _usage_error(("option '" + arg + "' needs a value").c_str());
    } else if (arg == "--address") {
      options.address = value, ++i;
    } else if (arg == "--events") {
      options.events = strtoull(value, nullptr, 10), ++i;
    } else if (arg == "--connections") {
      options.connections = static_cast<unsigned>(strtoul(value, nullptr, 10)), ++i;
    } else if (arg == "--close-timeout") {
      options.close_timeout = strtod(value, nullptr), ++i;
    } else {
      return _usage_error(("unknown option '" + arg + "'").c_str());
    }
  }
  sockaddr_storage address;
  socklen_t address_size = 0;
  if (!_loopback_address(options.address, &address, &address_size)) {
    return _usage_error("the address must be a numeric loopback HOST:PORT");
  }
  if (options.events == 0 || options.connections == 0 || options.connections > 1000 ||
      !(options.close_timeout > 0)) {
    return _usage_error(
        "--events, --connections (at most 1000) and --close-timeout must be positive");
  }

  // One block of distinct events; every event of the typical shape has the same size.
  const size_t event_size = veska_bench::typical_event(0).size();
  std::vector<uint8_t> block;
  block.reserve(kBlockEvents * event_size);
  for (size_t i = 0; i < kBlockEvents; ++i) {
    std::vector<uint8_t> event = veska_bench::typical_event(i);
    block.insert(block.end(), event.begin(), event.end());
  }

  std::vector<int> sockets;
  for (unsigned i = 0; i < options.connections; ++i) {
    int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), address_size) != 0) {
      perror("collector_feed: connect");
      return 1;
    }
    sockets.push_back(fd);
  }

  std::atomic<uint64_t> sent{0};
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < options.connections; ++i) {
    uint64_t share =
        options.events / options.connections + (i < options.events % options.connections ? 1 : 0);
    threads.emplace_back([&, i, share] { sent += _feed(sockets[i], block, event_size, share); });
  }
  for (std::thread &thread : threads) thread.join();
  const double send_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  printf("sent %llu events of %zu bytes over %u connection(s) in %.3f s: %.0f events/s\n",
         static_cast<unsigned long long>(sent.load()), event_size, options.connections,
         send_seconds, sent.load() / send_seconds);

  int status = sent.load() == options.events ? 0 : 1;
  if (options.wait_close) {
    const Clock::time_point deadline =
        start + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(options.close_timeout));
    bool closed = true;
    for (int fd : sockets) closed = _wait_closed(fd, deadline) && closed;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (closed) {
      printf("collector closed every connection after %.3f s: %.0f events/s decoded\n", seconds,
             sent.load() / seconds);
    } else {
      printf("collector did not close every connection within %.0f s\n", options.close_timeout);
      status = 1;
    }
  }
  for (int fd : sockets) close(fd);
  return status;
}
