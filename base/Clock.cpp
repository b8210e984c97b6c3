#include "base/Clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace veltor {

namespace {
SystemClock systemClock;
std::atomic<Clock*> installedClock{nullptr};
}  // namespace

uint32_t SystemClock::TickMs() {
  const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
  // Cut to 32 bits on purpose: the greeting frame carries a 32-bit tick, and
  // every comparison of ticks is an unsigned 32-bit difference that survives the wrap.
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count());
}

int64_t SystemClock::WallSeconds() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count());
}

void SystemClock::SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

Clock& CurrentClock() {
  Clock* clock = installedClock.load(std::memory_order_acquire);
  return clock != nullptr ? *clock : systemClock;
}

void InstallClock(Clock* clock) { installedClock.store(clock, std::memory_order_release); }

}  // namespace veltor
