// store_bench: fills a transaction store through its batch writer (transactions of five typical
// events from ten clients), then times the reader the HTTP API calls: searches of every filter
// kind and whole transactions by key, printing p50/p95 per kind, the fill rate and the RSS.
//
//   store_bench --store FILE --transactions 1000000 [--queries 200] [--skip-fill]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "private_api.h"
#include "tools/collector/store/message_batch.h"
#include "tools/collector/store/sqlite_reader.h"
#include "tools/collector/store/transaction_writer.h"

namespace {

using Clock = std::chrono::steady_clock;
using veska::store::TransactionQuery;

double _ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long _rss_kib() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// One event of transaction number n; kind picks its place in the transaction of five.
std::string _event(uint64_t n, int kind, int64_t time_us) {
  static const qiva_event_type_t kTypes[5] = {QIVA_STARTED_INBOUND_EVENT, QIVA_OUTBOUND_EVENT,
                                              QIVA_INBOUND_EVENT, QIVA_FINISHED_EVENT,
                                              QIVA_COMMIT_EVENT};
  char id[32], customer[16], link[24];
  snprintf(id, sizeof id, "order-%010llu", static_cast<unsigned long long>(n));
  snprintf(customer, sizeof customer, "C-%04llu", static_cast<unsigned long long>(n % 5000));
  snprintf(link, sizeof link, "call-%010llu", static_cast<unsigned long long>(n));
  qiva_values_list_t channel = {nullptr, "channel", reinterpret_cast<const qiva_byte_t *>("web"), 3,
                                0};
  qiva_values_list_t data = {&channel, "customer", reinterpret_cast<const qiva_byte_t *>(customer),
                             static_cast<qiva_uint16_t>(strlen(customer)), 0};
  qiva_values_list_t host = {nullptr, "host",
                             reinterpret_cast<const qiva_byte_t *>("inventory.internal"), 18, 0};
  qiva_event_t event;
  memset(&event, 0, sizeof event);
  event.type = kTypes[kind];
  if (kind == 4 && n % 100 == 0) event.type = QIVA_ROLLBACK_EVENT;
  event.timestamp.sec = static_cast<qiva_uint32_t>(time_us / 1000000);
  event.timestamp.usec = static_cast<qiva_uint32_t>(time_us % 1000000);
  event.instance_id.transaction_id = reinterpret_cast<const qiva_byte_t *>(id);
  event.instance_id.size = static_cast<qiva_uint16_t>(strlen(id));
  if (kind == 0) event.instance_id.transaction_data = &data;
  if (kind == 1 || kind == 2) {
    event.horizontal_id.caller_type = QIVA_REST_CALLER;
    event.horizontal_id.link_id = reinterpret_cast<const qiva_byte_t *>(link);
    event.horizontal_id.link_id_size = static_cast<qiva_uint8_t>(strlen(link));
    if (kind == 1) event.horizontal_id.stitch_ids = &host;
  }
  const ve_uint16_t payload = VE_calculate_event_message_size(&event);
  std::string bytes(payload + 4u, '\0');
  VE_serialise_event_message(&event, reinterpret_cast<uint8_t *>(&bytes[0]),
                             static_cast<ve_uint16_t>(payload + 4u));
  return bytes;
}

void _report(const char *name, std::vector<double> *ms) {
  std::sort(ms->begin(), ms->end());
  printf("%-28s p50 %8.2f ms  p95 %8.2f ms  (%zu queries)\n", name, (*ms)[ms->size() / 2],
         (*ms)[ms->size() * 95 / 100], ms->size());
}

}  // namespace

int main(int argc, char **argv) {
  std::string path;
  uint64_t transactions = 100000;
  int queries = 200;
  bool fill = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--store" && i + 1 < argc) {
      path = argv[++i];
    } else if (arg == "--transactions" && i + 1 < argc) {
      transactions = strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--queries" && i + 1 < argc) {
      queries = atoi(argv[++i]);
    } else if (arg == "--skip-fill") {
      fill = false;
    } else {
      fprintf(stderr,
              "usage: store_bench --store FILE [--transactions N] [--queries N] "
              "[--skip-fill]\n");
      return 2;
    }
  }
  if (path.empty() || queries < 1) return 2;
  veska::store::StoreSettings settings;
  settings.retain_bytes = uint64_t(1) << 40;
  settings.retain_age = 1e9;
  std::string error;
  const int64_t base_us = 1700000000000000LL;
  if (fill) {
    bool refused = false;
    auto writer = veska::store::TransactionWriter::open(path, settings, &error, &refused);
    if (!writer) {
      fprintf(stderr, "store_bench: %s\n", error.c_str());
      return 2;
    }
    const Clock::time_point start = Clock::now();
    veska::store::MessageBatch batch;
    const uint64_t per_batch = 16384 / 5;
    for (uint64_t n = 0; n < transactions; ++n) {
      const int64_t t = base_us + static_cast<int64_t>(n) * 1000;
      const std::string peer = "127.0.0.1:" + std::to_string(40000 + n % 10);
      for (int kind = 0; kind < 5; ++kind) {
        const std::string message = _event(n, kind, t + kind * 100 + (n % 7) * 1000);
        batch.add(reinterpret_cast<const uint8_t *>(message.data()), message.size(), peer, 1, 0, t);
      }
      if ((n + 1) % per_batch == 0 || n + 1 == transactions) {
        if (!writer->write(batch, base_us, &error)) {
          fprintf(stderr, "store_bench: %s\n", error.c_str());
          return 1;
        }
        batch.clear();
      }
    }
    const double seconds = _ms_since(start) / 1000;
    printf(
        "filled %llu transactions (%llu events) in %.1f s: %.0f events/s, batches of %llu "
        "events\n",
        static_cast<unsigned long long>(transactions),
        static_cast<unsigned long long>(transactions * 5), seconds, transactions * 5 / seconds,
        static_cast<unsigned long long>(per_batch * 5));
  }

  auto reader = veska::store::open_transaction_reader(path, settings, &error);
  if (!reader) {
    fprintf(stderr, "store_bench: %s\n", error.c_str());
    return 2;
  }
  std::mt19937_64 random(42);
  auto pick = [&](uint64_t below) { return random() % std::max<uint64_t>(below, 1); };
  const int64_t span_us = static_cast<int64_t>(transactions) * 1000;
  struct Kind {
    const char *name;
    std::function<void(TransactionQuery *)> set;
  };
  char text[32];
  const std::vector<Kind> kinds = {
      {"latest (no filter)", [](TransactionQuery *) {}},
      {"id",
       [&](TransactionQuery *q) {
         snprintf(text, sizeof text, "order-%010llu",
                  static_cast<unsigned long long>(pick(transactions)));
         q->id = text;
       }},
      {"id_prefix",
       [&](TransactionQuery *q) {
         snprintf(text, sizeof text, "order-%07llu",
                  static_cast<unsigned long long>(pick(transactions / 1000)));
         q->id_prefix = text;
       }},
      {"outcome=rollback", [](TransactionQuery *q) { q->outcome = "rollback"; }},
      // Every filled transaction lasts 400 us: the first matches none, the second all.
      {"min_duration_us (none)", [](TransactionQuery *q) { q->min_duration_us = 6000; }},
      {"min_duration_us (all)", [](TransactionQuery *q) { q->min_duration_us = 300; }},
      {"max_duration_us", [](TransactionQuery *q) { q->max_duration_us = 500; }},
      {"from/to",
       [&](TransactionQuery *q) {
         q->from_us = base_us + static_cast<int64_t>(pick(span_us));
         q->to_us = *q->from_us + 60 * 1000000LL;
       }},
      {"client",
       [&](TransactionQuery *q) { q->client = "127.0.0.1:" + std::to_string(40000 + pick(10)); }},
      {"data",
       [&](TransactionQuery *q) {
         snprintf(text, sizeof text, "C-%04llu", static_cast<unsigned long long>(pick(5000)));
         q->data.push_back({"customer", text});
       }},
      {"stitch",
       [](TransactionQuery *q) {
         q->stitch.push_back({"host", "inventory.internal"});
       }},
      {"stuck", [](TransactionQuery *q) { q->stuck_only = true; }},
      {"sort by duration", [](TransactionQuery *q) { q->sort_by_duration = true; }},
  };
  nlohmann::ordered_json answer;
  for (const Kind &kind : kinds) {
    std::vector<double> ms;
    for (int i = 0; i < queries; ++i) {
      TransactionQuery query;
      kind.set(&query);
      const Clock::time_point start = Clock::now();
      if (reader->search(query, &answer, &error) != veska::store::ReadStatus::kOk) {
        fprintf(stderr, "store_bench: %s: %s\n", kind.name, error.c_str());
        return 1;
      }
      ms.push_back(_ms_since(start));
    }
    _report(kind.name, &ms);
  }
  std::vector<double> ms;
  for (int i = 0; i < queries * 5; ++i) {
    const std::string key = veska::store::transaction_key(1 + pick(transactions));
    const Clock::time_point start = Clock::now();
    if (reader->transaction(key, &answer, &error) != veska::store::ReadStatus::kOk) {
      fprintf(stderr, "store_bench: key %s: %s\n", key.c_str(), error.c_str());
      return 1;
    }
    ms.push_back(_ms_since(start));
  }
  _report("transaction by key", &ms);
  printf("peak RSS %ld MiB\n", _rss_kib() / 1024);
  return 0;
}
