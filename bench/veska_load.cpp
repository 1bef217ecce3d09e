// veska-load: offers typical events at a chosen rate from N threads to a collector on this
// host for a fixed time, then reports what was tracked, what the queue dropped, how long single
// QIVA_track calls took and how much memory the process holds. Pointed at
// `veska-collector --quiet --summary`, the collector's event count over the reported elapsed
// time gives the delivered rate. --stall measures the same calls while the collector is
// stalled: a listener of this process that accepts nothing and reads nothing. --baseline times,
// in place of QIVA_track and under the same pacing, a 120-byte copy into a preallocated ring:
// what the machine itself adds to a single call (a thread woken from its sleep to cold caches,
// interrupts, the hypervisor).
//
// Only loopback collectors: an address that resolves to anything outside 127.0.0.0/8 and ::1
// is refused.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_events.h"
#include "bench/floor_ring.h"
#include "bench/latency_histogram.h"
#include "private_api.h"

namespace {

const char kUsage[] =
    "Usage: veska-load --server tcp:HOST:PORT [options]\n"
    "       veska-load --stall [options]\n"
    "       veska-load --verify FILE\n"
    "Offers typical events (about 120 bytes on the wire) to a collector on loopback.\n"
    "\n"
    "  --server ADDR      collector address, tcp:HOST:PORT; HOST must be loopback\n"
    "  --stall            send to a listener of this process that never reads (no --server)\n"
    "  --rate N           events per second offered, all threads together (0: as fast as\n"
    "                     possible; default 100000)\n"
    "  --threads N        producer threads, 1 to 64 (default 1)\n"
    "  --seconds S        how long to offer events, 0.1 to 600 (default 5)\n"
    "  --queue-size N     the configuration's queue_size, 1 to 65535 (default 0: the\n"
    "                     library's default)\n"
    "  --number           transaction ids nTTSSSSSSSSSSSSS: thread and sequence number\n"
    "  --per-transaction N  with --number, N events in a row share one id (default 1)\n"
    "  --baseline         time a 120-byte copy into a preallocated ring instead of each\n"
    "                     QIVA_track call, with the same pacing: the machine's own figures\n"
    "  --flush-timeout S  how long to wait for delivery at the end, 1 to 600 (default 60)\n"
    "  --verify FILE      read the collector's JSON lines and report numbered events\n"
    "                     missing or repeated per thread\n"
    "\n"
    "Output: one 'name value' line per figure. Exit status: 0 done, 1 a call or the final\n"
    "flush failed (or --verify found a gap), 2 bad options.\n";

struct Options {
  std::string server;
  std::string verify;
  bool stall = false;
  bool baseline = false;
  double rate = 100000;
  int threads = 1;
  double seconds = 5;
  long queue_size = 0;
  bool number = false;
  uint64_t per_transaction = 1;
  double flush_timeout = 60;
};

uint64_t _now_ns() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

bool _is_loopback(const struct sockaddr *address) {
  if (address->sa_family == AF_INET) {
    const auto *in = reinterpret_cast<const struct sockaddr_in *>(address);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  if (address->sa_family == AF_INET6) {
    const auto *in6 = reinterpret_cast<const struct sockaddr_in6 *>(address);
    if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) return true;
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) return in6->sin6_addr.s6_addr[12] == 127;
  }
  return false;
}

// The host part the library will resolve, read as its TCP address parser does: bracketed
// IPv6, or everything before the first ':'. Every address it resolves to must be loopback.
bool _loopback_server(const std::string &server, std::string *why) {
  if (server.compare(0, 4, "tcp:") != 0) {
    *why = "the address must begin with 'tcp:'";
    return false;
  }
  std::string address = server.substr(4);
  std::string host;
  if (!address.empty() && address[0] == '[') {
    size_t close = address.find(']');
    if (close == std::string::npos) {
      *why = "no ']' after '['";
      return false;
    }
    host = address.substr(1, close - 1);
  } else {
    size_t colon = address.find(':');
    if (colon == std::string::npos) {
      *why = "no ':' before the port";
      return false;
    }
    host = address.substr(0, colon);
  }
  struct addrinfo *list = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, nullptr, &list) != 0) {
    *why = "the host '" + host + "' does not resolve";
    return false;
  }
  bool loopback = true;
  for (struct addrinfo *entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_addr != nullptr && !_is_loopback(entry->ai_addr)) loopback = false;
  }
  freeaddrinfo(list);
  if (!loopback) *why = "'" + host + "' is not a loopback address (127.0.0.0/8 or ::1)";
  return loopback;
}

bool _number(const char *text, double low, double high, double *out) {
  char *end = nullptr;
  double value = strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= low && value <= high)) return false;
  *out = value;
  return true;
}

int _parse(int argc, char **argv, Options *options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    bool *flag = nullptr;
    if (arg == "--stall") flag = &options->stall;
    if (arg == "--number") flag = &options->number;
    if (arg == "--baseline") flag = &options->baseline;
    if (flag != nullptr) {
      *flag = true;
      continue;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "veska-load: %s needs a value\n%s", arg.c_str(), kUsage);
      return 2;
    }
    const char *value = argv[++i];
    double number = 0;
    bool ok = true;
    if (arg == "--server") {
      options->server = value;
    } else if (arg == "--verify") {
      options->verify = value;
    } else if (arg == "--rate") {
      ok = _number(value, 0, 1e9, &options->rate);
    } else if (arg == "--threads") {
      ok = _number(value, 1, 64, &number);
      options->threads = static_cast<int>(number);
    } else if (arg == "--seconds") {
      ok = _number(value, 0.1, 600, &options->seconds);
    } else if (arg == "--queue-size") {
      ok = _number(value, 1, 65535, &number);
      options->queue_size = static_cast<long>(number);
    } else if (arg == "--per-transaction") {
      ok = _number(value, 1, 1000000, &number);
      options->per_transaction = static_cast<uint64_t>(number);
    } else if (arg == "--flush-timeout") {
      ok = _number(value, 1, 600, &options->flush_timeout);
    } else {
      fprintf(stderr, "veska-load: unknown option '%s'\n%s", arg.c_str(), kUsage);
      return 2;
    }
    if (!ok) {
      fprintf(stderr, "veska-load: bad value '%s' for %s\n", value, arg.c_str());
      return 2;
    }
  }
  if (!options->verify.empty()) return -1;
  if (options->stall == !options->server.empty()) {
    fprintf(stderr, "veska-load: give exactly one of --server and --stall\n%s", kUsage);
    return 2;
  }
  if (!options->stall) {
    std::string why;
    if (!_loopback_server(options->server, &why)) {
      fprintf(stderr, "veska-load: refusing '%s': %s\n", options->server.c_str(), why.c_str());
      return 2;
    }
  }
  return -1;
}

// A listener on 127.0.0.1 that never accepts: the kernel completes the connection and fills
// its buffers, then the dispatcher's writes block. Closing it resets the connection.
int _stalled_listener(std::string *server) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 ||
      listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  *server = "tcp:127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  return fd;
}

struct ProducerResult {
  veska_bench::LatencyHistogram latency;
  uint64_t tracked = 0;
  uint64_t failed = 0;
  int first_failure = 0;
};

// Offers events at rate_per_thread (0: unpaced) until the deadline. A thread that falls
// behind its schedule sends at once without sleeping; one that is ahead sleeps to its next due
// time, so the offered rate holds on average. With a ring, each call is a copy into it instead.
void _produce(qiva_config_t *config, const Options &options, veska_bench::FloorRing *ring,
              unsigned thread, uint64_t start_ns, uint64_t end_ns, ProducerResult *result) {
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);  // sleeps wake within a microsecond or so
  veska_bench::TypicalEvent typical;
  unsigned char message[veska_bench::FloorRing::kMessageSize];
  memset(message, 0x5a, sizeof message);
  double rate = options.rate / options.threads;
  double interval_ns = rate > 0 ? 1e9 / rate : 0;
  for (uint64_t sequence = 0;; ++sequence) {
    uint64_t now = _now_ns();
    if (now >= end_ns) break;
    if (interval_ns > 0) {
      uint64_t due = start_ns + static_cast<uint64_t>(static_cast<double>(sequence) * interval_ns);
      if (due >= end_ns) break;
      if (due > now + 2000) {
        struct timespec wake = {static_cast<time_t>(due / 1000000000ull),
                                static_cast<long>(due % 1000000000ull)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
      }
    }
    if (options.number) typical.SetNumber(thread, sequence / options.per_transaction);
    uint64_t before = _now_ns();
    int rc = 0;
    if (ring != nullptr) {
      message[0] = static_cast<unsigned char>(sequence);
      ring->Publish(message);  // a full ring counts the drop
    } else {
      rc = QIVA_track(config, &typical.event);
    }
    result->latency.Add(_now_ns() - before);
    if (rc == 0) {
      ++result->tracked;
    } else if (result->failed++ == 0) {
      result->first_failure = rc;
    }
  }
}

void _memory(long *rss_kib, long *hwm_kib) {
  *rss_kib = *hwm_kib = -1;
  FILE *status = fopen("/proc/self/status", "r");
  if (status == nullptr) return;
  char line[256];
  while (fgets(line, sizeof line, status) != nullptr) {
    if (strncmp(line, "VmRSS:", 6) == 0) *rss_kib = atol(line + 6);
    if (strncmp(line, "VmHWM:", 6) == 0) *hwm_kib = atol(line + 6);
  }
  fclose(status);
}

// Reads JSON lines and collects the numbered transaction ids (n + 2-digit thread + 13-digit
// sequence) wherever they appear as a string value; reports per thread how many sequence
// numbers from 0 to the highest seen are missing and how many appear more than once.
int _verify(const std::string &path) {
  FILE *file = fopen(path.c_str(), "r");
  if (file == nullptr) {
    fprintf(stderr, "veska-load: cannot read '%s'\n", path.c_str());
    return 2;
  }
  std::vector<std::vector<uint64_t>> seen(100);
  std::vector<char> line(1 << 20);
  uint64_t lines = 0;
  const size_t kIdLength = 16;
  while (fgets(line.data(), static_cast<int>(line.size()), file) != nullptr) {
    ++lines;
    for (const char *p = strstr(line.data(), "\"n"); p != nullptr; p = strstr(p + 1, "\"n")) {
      const char *id = p + 1;
      size_t digits = 0;
      while (digits < kIdLength - 1 && id[1 + digits] >= '0' && id[1 + digits] <= '9') ++digits;
      if (digits != kIdLength - 1 || id[kIdLength] != '"') continue;
      unsigned thread = static_cast<unsigned>((id[1] - '0') * 10 + (id[2] - '0'));
      seen[thread].push_back(strtoull(std::string(id + 3, kIdLength - 3).c_str(), nullptr, 10));
    }
  }
  fclose(file);
  int status = 0;
  uint64_t total = 0;
  for (unsigned thread = 0; thread < seen.size(); ++thread) {
    std::vector<uint64_t> &numbers = seen[thread];
    if (numbers.empty()) continue;
    std::sort(numbers.begin(), numbers.end());
    uint64_t repeated = 0;
    for (size_t i = 1; i < numbers.size(); ++i) repeated += numbers[i] == numbers[i - 1];
    uint64_t distinct = numbers.size() - repeated;
    uint64_t missing = numbers.back() + 1 - distinct;
    printf("thread %u: events %zu highest %llu missing %llu repeated %llu\n", thread,
           numbers.size(), static_cast<unsigned long long>(numbers.back()),
           static_cast<unsigned long long>(missing), static_cast<unsigned long long>(repeated));
    if (missing != 0 || repeated != 0) status = 1;
    total += numbers.size();
  }
  printf("lines %llu\nnumbered_events %llu\n", static_cast<unsigned long long>(lines),
         static_cast<unsigned long long>(total));
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  int status = _parse(argc, argv, &options);
  if (status >= 0) return status;
  if (!options.verify.empty()) return _verify(options.verify);

  int listener = -1;
  std::string server = options.server;
  if (options.stall) {
    listener = _stalled_listener(&server);
    if (listener < 0) {
      perror("veska-load: cannot listen on 127.0.0.1");
      return 2;
    }
  }

  qiva_config_t config;
  memset(&config, 0, sizeof config);
  config.server = server.c_str();
  config.queue_size = static_cast<qiva_uint16_t>(options.queue_size);
  config.connect_timeout = 2000;
  config.connect_retries = 3;  // a collector that is not there ends the run, not hangs it
  config.connect_retry_interval = 200;
  int rc = QIVA_init(&config);
  if (rc != 0) {
    fprintf(stderr, "veska-load: QIVA_init failed: %d %s\n", rc, QIVA_strerror(rc));
    if (listener >= 0) close(listener);
    return 1;
  }

  ve_uint32_t drops_before = VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED);
  std::unique_ptr<veska_bench::FloorRing> ring;
  if (options.baseline) ring.reset(new veska_bench::FloorRing(16));  // 65536 slots
  std::vector<ProducerResult> results(options.threads);
  std::vector<std::thread> producers;
  uint64_t start_ns = _now_ns() + 20000000ull;  // every thread starts on the same schedule
  uint64_t end_ns = start_ns + static_cast<uint64_t>(options.seconds * 1e9);
  for (int t = 0; t < options.threads; ++t) {
    producers.emplace_back([&, t] {
      while (_now_ns() < start_ns) usleep(1000);
      _produce(&config, options, ring.get(), static_cast<unsigned>(t), start_ns, end_ns,
               &results[t]);
    });
  }
  for (auto &producer : producers) producer.join();
  uint64_t offered_ns = _now_ns() - start_ns;
  long rss_kib, hwm_kib;
  _memory(&rss_kib, &hwm_kib);

  int flush_rc = 0;
  if (options.stall) {
    // Reset the stalled connection; the dispatcher's retries then fail and shutdown returns.
    close(listener);
  } else {
    qiva_time_t timeout = {static_cast<qiva_uint32_t>(options.flush_timeout), 0};
    flush_rc = QIVA_flush(&config, &timeout);
  }
  uint64_t flushed_ns = _now_ns() - start_ns;
  uint64_t drops = VE_statistics_counter_get(VE_STATS_EVENTS_DROPPED) - drops_before;
  if (ring != nullptr) drops = ring->Drops();
  // The dispatcher's CPU until everything was delivered (or the stall ended), read from its
  // thread's own clock before shutdown joins it: the half of tracking's cost that the calls'
  // latencies never show.
  double dispatcher_cpu_s = -1;
  {
    auto *data = static_cast<ve_config_data_t *>(config.handle);
    clockid_t clock;
    struct timespec used;
    if (data != nullptr &&
        pthread_getcpuclockid(data->client_data.dispatcher_thread, &clock) == 0 &&
        clock_gettime(clock, &used) == 0) {
      dispatcher_cpu_s = static_cast<double>(used.tv_sec) + used.tv_nsec / 1e9;
    }
  }
  QIVA_shutdown(&config);

  veska_bench::LatencyHistogram latency;
  uint64_t tracked = 0, failed = 0;
  int first_failure = 0;
  for (const ProducerResult &result : results) {
    latency.Merge(result.latency);
    tracked += result.tracked;
    failed += result.failed;
    if (first_failure == 0) first_failure = result.first_failure;
  }
  double offered_s = static_cast<double>(offered_ns) / 1e9;
  printf("server %s%s\n", server.c_str(), options.stall ? " (stalled: never read)" : "");
  printf("calls %s\n", ring != nullptr ? "ring_copy (baseline)" : "QIVA_track");
  printf("threads %d\nrate_offered %.0f\nqueue_size %ld\n", options.threads, options.rate,
         options.queue_size);
  printf("seconds %.3f\n", offered_s);
  printf("tracked %llu\n", static_cast<unsigned long long>(tracked));
  printf("tracked_per_s %.0f\n", static_cast<double>(tracked) / offered_s);
  printf("failed %llu%s%s\n", static_cast<unsigned long long>(failed),
         failed != 0 ? " first: " : "", failed != 0 ? QIVA_strerror(first_failure) : "");
  printf("dropped %llu\n", static_cast<unsigned long long>(drops));
  printf("dropped_pct %.3f\n", tracked != 0 ? 100.0 * drops / static_cast<double>(tracked) : 0.0);
  printf(
      "track_p50_ns %llu\ntrack_p99_ns %llu\ntrack_p999_ns %llu\ntrack_p9999_ns %llu\n"
      "track_max_ns %llu\ntrack_over_10us %llu\n",
      static_cast<unsigned long long>(latency.Quantile(0.5)),
      static_cast<unsigned long long>(latency.Quantile(0.99)),
      static_cast<unsigned long long>(latency.Quantile(0.999)),
      static_cast<unsigned long long>(latency.Quantile(0.9999)),
      static_cast<unsigned long long>(latency.max()),
      static_cast<unsigned long long>(latency.CountAbove(10000)));
  printf("rss_kib %ld\nrss_peak_kib %ld\n", rss_kib, hwm_kib);
  // Producers and the dispatcher together, up to here.
  struct rusage usage;
  if (getrusage(RUSAGE_SELF, &usage) == 0) {
    printf("cpu_s %.3f\n", static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
  }
  if (dispatcher_cpu_s >= 0) {
    const uint64_t sent = tracked > drops ? tracked - drops : 0;
    printf("dispatcher_cpu_s %.3f\n", dispatcher_cpu_s);
    if (!options.stall && sent != 0) {
      printf("dispatcher_ns_per_event %.1f\n", dispatcher_cpu_s * 1e9 / static_cast<double>(sent));
    }
  }
  if (!options.stall) {
    printf("flush %d%s%s\n", flush_rc, flush_rc != 0 ? " " : "",
           flush_rc != 0 ? QIVA_strerror(flush_rc) : "");
    // Until the final flush returned: the denominator of the delivered rate.
    printf("seconds_to_delivered %.3f\n", static_cast<double>(flushed_ns) / 1e9);
  }
  return failed != 0 || flush_rc != 0 ? 1 : 0;
}
