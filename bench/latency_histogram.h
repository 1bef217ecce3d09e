// A log-linear histogram of nanoseconds for latency percentiles without keeping samples.
#ifndef VESKA_BENCH_LATENCY_HISTOGRAM_H
#define VESKA_BENCH_LATENCY_HISTOGRAM_H

#include <stdint.h>

#include <algorithm>
#include <vector>

namespace veska_bench {

// Log-linear histogram of nanoseconds: 32 sub-buckets per power of two, so a reported
// percentile is at most about 3 % above the true value; the maximum is kept exactly.
class LatencyHistogram {
 public:
  static const int kSubBits = 5;
  static const int kBuckets = (64 - kSubBits + 1) << kSubBits;

  LatencyHistogram() : counts_(kBuckets, 0) {}
  void Add(uint64_t ns) {
    ++counts_[_index(ns)];
    ++total_;
    max_ = std::max(max_, ns);
  }
  void Merge(const LatencyHistogram &other) {
    for (int i = 0; i < kBuckets; ++i) counts_[i] += other.counts_[i];
    total_ += other.total_;
    max_ = std::max(max_, other.max_);
  }
  // The upper bound of the bucket holding the q-th quantile, never above the maximum.
  uint64_t Quantile(double q) const {
    if (total_ == 0) return 0;
    uint64_t rank = static_cast<uint64_t>(q * static_cast<double>(total_ - 1)) + 1;
    uint64_t seen = 0;
    for (int i = 0; i < kBuckets; ++i) {
      seen += counts_[i];
      if (seen >= rank) return std::min(_upper(i), max_);
    }
    return max_;
  }
  // Samples in buckets that lie wholly above ns: a count of slow calls, within a bucket's width.
  uint64_t CountAbove(uint64_t ns) const {
    uint64_t above = 0;
    for (int i = _index(ns) + 1; i < kBuckets; ++i) above += counts_[i];
    return above;
  }
  uint64_t max() const { return max_; }
  uint64_t total() const { return total_; }

 private:
  static int _index(uint64_t ns) {
    if (ns < (1u << kSubBits)) return static_cast<int>(ns);
    int msb = 63 - __builtin_clzll(ns);
    int shift = msb - kSubBits;
    return ((shift + 1) << kSubBits) + static_cast<int>((ns >> shift) & ((1u << kSubBits) - 1));
  }
  static uint64_t _upper(int index) {
    int group = index >> kSubBits;
    uint64_t sub = static_cast<uint64_t>(index & ((1 << kSubBits) - 1));
    if (group == 0) return sub;
    int shift = group - 1;
    return (((uint64_t{1} << kSubBits) + sub + 1) << shift) - 1;
  }

  std::vector<uint64_t> counts_;
  uint64_t total_ = 0;
  uint64_t max_ = 0;
};

}  // namespace veska_bench

#endif  // VESKA_BENCH_LATENCY_HISTOGRAM_H
