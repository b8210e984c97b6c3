// Time sources of the relay: the millisecond tick and the wall clock.
// Everything reads time through CurrentClock() (TickNow, WallNow), the one way
// to reach the clock, so tests can install a fake one.
#pragma once

#include <cstdint>

namespace veltor {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since an arbitrary start, wrapping at 2^32: compare ticks only
  // through unsigned 32-bit differences.
  virtual uint32_t TickMs() = 0;
  // Wall-clock seconds since the epoch.
  virtual int64_t WallSeconds() = 0;
  // Sleeps the calling thread (a fake clock advances its tick instead).
  virtual void SleepMs(int ms) = 0;
};

// The real clock, from the standard library on every system: the steady
// clock (CLOCK_MONOTONIC on Linux) for the tick, the system clock for the
// wall clock.
class SystemClock final : public Clock {
 public:
  uint32_t TickMs() override;
  int64_t WallSeconds() override;
  void SleepMs(int ms) override;
};

// The process-wide clock; the system clock unless a test installed another.
Clock& CurrentClock();
// Installs `clock` (nullptr restores the system clock). The caller keeps it alive.
void InstallClock(Clock* clock);

inline uint32_t TickNow() { return CurrentClock().TickMs(); }
inline int64_t WallNow() { return CurrentClock().WallSeconds(); }

}  // namespace veltor
