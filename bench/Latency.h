// Delivery latency over one run: nearest-rank percentiles of every probe
// that arrived, against the number that should have.
#pragma once

#include <cstddef>
#include <vector>

#include "bench/BenchClock.h"

namespace veltor::bench {

struct LatencyStats {
  size_t samples = 0;
  size_t expected = 0;
  double p50Ms = 0;
  double p99Ms = 0;
  double maxMs = 0;
};

LatencyStats Summarise(std::vector<Ns> samples, size_t expected);

}  // namespace veltor::bench
