#include "bench/Latency.h"

#include <algorithm>
#include <cmath>

namespace veltor::bench {

namespace {

double Percentile(const std::vector<Ns>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  // Nearest rank: the smallest sample with at least `fraction` of all at or below it.
  const size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return static_cast<double>(sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1]) / kMs;
}

}  // namespace

LatencyStats Summarise(std::vector<Ns> samples, size_t expected) {
  std::sort(samples.begin(), samples.end());
  LatencyStats stats;
  stats.samples = samples.size();
  stats.expected = expected;
  stats.p50Ms = Percentile(samples, 0.50);
  stats.p99Ms = Percentile(samples, 0.99);
  stats.maxMs = samples.empty() ? 0 : static_cast<double>(samples.back()) / kMs;
  return stats;
}

}  // namespace veltor::bench
