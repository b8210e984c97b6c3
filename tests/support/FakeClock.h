// A clock that moves only when told to: sleeping advances its tick.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/Clock.h"

namespace veltor::testing {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(uint32_t tick = 0, int64_t wall = 1'800'000'000) : tick_(tick), wall_(wall) {}
  uint32_t TickMs() override { return tick_.load(); }
  int64_t WallSeconds() override { return wall_.load(); }
  void SleepMs(int ms) override { tick_ += static_cast<uint32_t>(ms); }

  void AdvanceTick(uint32_t ms) { tick_ += ms; }
  void SetWall(int64_t seconds) { wall_ = seconds; }
  void AdvanceWall(int64_t seconds) { wall_ += seconds; }

 private:
  std::atomic<uint32_t> tick_;
  std::atomic<int64_t> wall_;
};

// Installs a fake clock for the lifetime of the object.
class ScopedClock {
 public:
  explicit ScopedClock(Clock& clock) { InstallClock(&clock); }
  ~ScopedClock() { InstallClock(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace veltor::testing
