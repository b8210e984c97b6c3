#include "bench/BenchClock.h"

#include <algorithm>
#include <cerrno>
#include <time.h>

#include "bench/Abort.h"

namespace veltor::bench {

Ns NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Ns>(now.tv_sec) * kSec + now.tv_nsec;
}

Ns Seconds(double seconds) { return static_cast<Ns>(seconds * static_cast<double>(kSec)); }

std::chrono::milliseconds MsUntil(Ns when) {
  return std::chrono::milliseconds(std::max<Ns>(0, (when - NowNs() + kMs - 1) / kMs));
}

bool SleepUntil(Ns when) {
  timespec target{static_cast<time_t>(when / kSec), static_cast<long>(when % kSec)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr) == EINTR) {
    if (Interrupted()) return false;
  }
  return true;
}

bool SleepFor(Ns duration) {
  const Ns end = NowNs() + duration;
  for (Ns now = NowNs(); now < end; now = NowNs()) {
    if (Interrupted() || !SleepUntil(std::min(end, now + 100 * kMs))) return false;
  }
  return !Interrupted();
}

}  // namespace veltor::bench
