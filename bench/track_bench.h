// Registration of the benchmarks that compare QIVA_track with its peers, in rounds.
#ifndef VESKA_BENCH_TRACK_BENCH_H
#define VESKA_BENCH_TRACK_BENCH_H

#include <benchmark/benchmark.h>

namespace veska_bench {

// Registers, for each round, the typical event through veska, spdlog and the floor ring with
// one and then two producer threads, in that order; then the small and large events once.
// Names: "compare/EVENT/PATH[/round:N]"; every run reports the counters call_ns (median of the
// batch means of ns per call, averaged over the threads), drops and drop_pct.
void RegisterTrackBenchmarks(int rounds);

}  // namespace veska_bench

#endif  // VESKA_BENCH_TRACK_BENCH_H
