// Throughput, for the record rather than a comparison: the source writes
// whenever the peer takes it, and each client's rate is counted after a
// warm-up.
#include <algorithm>

#include "bench/Abort.h"
#include "bench/Paced.h"
#include "bench/PeerRun.h"
#include "bench/Progress.h"

namespace veltor::bench {

bool PeerRun::MeasureThroughput() {
  Progress("  %s: throughput %.0f s\n", Tag(), options_.throughputSeconds);
  // The first second fills the pipeline; only the steady state after it counts.
  const Ns start = NowNs();
  const Ns end = start + Seconds(options_.throughputSeconds);
  const Ns warm = start + std::min<Ns>(kSec, (end - start) / 4);
  bool flowed = source_.Flood(clients_, warm, UINT64_MAX);
  const BackgroundLoad load(Excluded());
  const std::vector<uint64_t> first = clients_.Received();
  const Ns firstAt = NowNs();
  flowed = flowed && source_.Flood(clients_, end, UINT64_MAX);
  const std::vector<uint64_t> last = clients_.Received();
  const Ns lastAt = NowNs();
  if (Aborted()) return false;
  result_.throughputLoad = load.Cores();
  const double window = static_cast<double>(lastAt - firstAt) / kSec;
  double least = 1e300;
  double sum = 0;
  for (size_t i = 0; i < first.size(); ++i) {
    const double rate = static_cast<double>(last[i] - first[i]) / window / 1000.0;
    least = std::min(least, rate);
    sum += rate;
  }
  result_.throughputMinKBps = first.empty() ? 0 : least;
  result_.throughputMeanKBps = first.empty() ? 0 : sum / static_cast<double>(first.size());
  result_.throughputWindowSeconds = window;
  result_.throughputStarved = !flowed;
  if (!flowed || !WaitDelivered(clients_, source_, NowNs() + kBacklogDrainLimit)) result_.undelivered = true;
  return !Aborted();
}

}  // namespace veltor::bench
