#include "base/Clock.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

namespace veltor {

namespace {
SystemClock systemClock;
std::atomic<Clock*> installedClock{nullptr};
}  // namespace

uint32_t SystemClock::TickMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

int64_t SystemClock::WallSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

void SystemClock::SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

Clock& CurrentClock() {
  Clock* clock = installedClock.load(std::memory_order_acquire);
  return clock != nullptr ? *clock : systemClock;
}

void InstallClock(Clock* clock) { installedClock.store(clock, std::memory_order_release); }

}  // namespace veltor
