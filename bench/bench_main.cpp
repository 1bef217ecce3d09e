// veska-bench: Google Benchmark's console output, then a summary of the comparison rounds:
// median ns per call of each path with 1 and 2 producers, drops beside every figure, and the
// ratios veska/spdlog and veska/floor taken round by round in this one process.
//
//   veska-bench [--rounds=N] [Google Benchmark options]
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "bench/track_bench.h"

namespace veska_bench {
namespace {

struct Figure {
  double call_ns = 0;
  double mean_ns = 0;
  double drops = 0;
  double drop_pct = 0;
  double heap_per_call = -1;  // heap calls per call after the first batch; -1 when not counted
  bool error = false;
};

// A figure taken while more than this share of calls was dropped does not count.
const double kMaxDropPct = 1.0;

double _counter(const benchmark::BenchmarkReporter::Run &run, const char *name, double absent) {
  auto it = run.counters.find(name);
  return it == run.counters.end() ? absent : it->second.value;
}

double _median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  explicit SummaryReporter(OutputOptions options) : ConsoleReporter(options) {}

  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      std::string name = run.benchmark_name();
      std::vector<std::string> parts;
      for (size_t start = 0;;) {
        size_t slash = name.find('/', start);
        parts.push_back(name.substr(start, slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
      }
      Figure figure;
      figure.error = run.error_occurred;
      figure.drops = _counter(run, "drops", 0);
      figure.drop_pct = _counter(run, "drop_pct", 0);
      figure.call_ns = _counter(run, "call_ns", -1);
      figure.mean_ns = _counter(run, "mean_ns", 0);
      figure.heap_per_call = _counter(run, "heap_per_call", -1);
      if (figure.call_ns < 0) figure.call_ns = run.GetAdjustedRealTime();  // unit: ns
      if (parts[0] == "piece") {
        pieces_.emplace_back(parts.size() > 1 ? parts[1] : name, figure);
        continue;
      }
      if (parts[0] != "compare" || parts.size() < 3) continue;
      int round = 0;
      for (const std::string &part : parts) {
        if (part.compare(0, 6, "round:") == 0) round = atoi(part.c_str() + 6);
      }
      std::string key = parts[1] + "/" + parts[2] + "/" + std::to_string(run.threads) + "p";
      figures_[key][round] = figure;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    FILE *out = stdout;
    fprintf(out,
            "\n== veska-bench summary: ns per call, the median of 64-call group means (median "
            "over rounds, [min..max]); the mean of whole batches; drops ==\n");
    for (const auto &entry : figures_) {
      std::vector<double> values, means;
      double drops = 0, worst_pct = 0, heap = -1;
      bool void_figure = false;
      for (const auto &round : entry.second) {
        values.push_back(round.second.call_ns);
        means.push_back(round.second.mean_ns);
        drops += round.second.drops;
        worst_pct = std::max(worst_pct, round.second.drop_pct);
        heap = std::max(heap, round.second.heap_per_call);
        void_figure = void_figure || round.second.error || round.second.drop_pct > kMaxDropPct;
      }
      char heap_text[48] = "";
      if (heap >= 0) snprintf(heap_text, sizeof heap_text, "  heap calls %.4f/call", heap);
      fprintf(out,
              "%-18s %8.1f ns [%.1f..%.1f]  mean %.1f ns  rounds %zu  drops %.0f (%.3f%%)%s%s\n",
              entry.first.c_str(), _median(values), *std::min_element(values.begin(), values.end()),
              *std::max_element(values.begin(), values.end()), _median(means), values.size(), drops,
              worst_pct, heap_text, void_figure ? "  DOES NOT COUNT (drops over 1% or error)" : "");
    }
    for (int threads = 1; threads <= 2; ++threads) {
      _ratio("typical/veska", "typical/spdlog", threads, "veska/spdlog");
      _ratio("typical/veska", "typical/floor", threads, "veska/floor");
    }
    _scaling("typical/veska");
    if (!pieces_.empty()) {
      fprintf(out, "pieces (typical event, ns per call):");
      for (const auto &piece : pieces_) {
        fprintf(out, "  %s %.1f", piece.first.c_str(), piece.second.call_ns);
      }
      fprintf(out, "\n");
    }
  }

 private:
  // Round-by-round ratio of two paths, so that both figures of a ratio share the moment.
  void _ratio(const std::string &a, const std::string &b, int threads, const char *label) {
    std::string suffix = "/" + std::to_string(threads) + "p";
    auto ia = figures_.find(a + suffix), ib = figures_.find(b + suffix);
    if (ia == figures_.end() || ib == figures_.end()) return;
    std::vector<double> ratios;
    for (const auto &round : ia->second) {
      auto other = ib->second.find(round.first);
      if (other == ib->second.end() || other->second.call_ns <= 0) continue;
      ratios.push_back(round.second.call_ns / other->second.call_ns);
    }
    if (ratios.empty()) return;
    fprintf(stdout, "ratio %-13s %dp  %.3f  [%.3f..%.3f] over %zu rounds\n", label, threads,
            _median(ratios), *std::min_element(ratios.begin(), ratios.end()),
            *std::max_element(ratios.begin(), ratios.end()), ratios.size());
  }

  void _scaling(const std::string &path) {
    auto one = figures_.find(path + "/1p"), two = figures_.find(path + "/2p");
    if (one == figures_.end() || two == figures_.end()) return;
    std::vector<double> ratios;
    for (const auto &round : two->second) {
      auto other = one->second.find(round.first);
      if (other != one->second.end() && other->second.call_ns > 0) {
        ratios.push_back(round.second.call_ns / other->second.call_ns);
      }
    }
    if (ratios.empty()) return;
    fprintf(stdout, "ratio %-13s     %.3f  [%.3f..%.3f] (2 producers / 1 producer, per call)\n",
            "veska 2p/1p", _median(ratios), *std::min_element(ratios.begin(), ratios.end()),
            *std::max_element(ratios.begin(), ratios.end()));
  }

  std::map<std::string, std::map<int, Figure>> figures_;  // path/threads -> round -> figure
  std::vector<std::pair<std::string, Figure>> pieces_;
};

}  // namespace
}  // namespace veska_bench

int main(int argc, char **argv) {
  int rounds = 5;
  bool color = isatty(STDOUT_FILENO) != 0;
  std::vector<char *> args;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "--benchmark_color=false") == 0) color = false;
    if (i > 0 && strncmp(argv[i], "--rounds=", 9) == 0) {
      rounds = atoi(argv[i] + 9);
      if (rounds < 1 || rounds > 100) {
        fprintf(stderr, "veska-bench: --rounds takes 1 to 100\n");
        return 2;
      }
      continue;
    }
    args.push_back(argv[i]);
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  veska_bench::RegisterTrackBenchmarks(rounds);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;
  // A reporter handed to Google Benchmark does not follow --benchmark_color: set it here.
  veska_bench::SummaryReporter reporter(color ? benchmark::ConsoleReporter::OO_ColorTabular
                                              : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
