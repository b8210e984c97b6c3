// A point in time that every bounded wait in the tests counts down to, and
// the two polling waits built on it.
//
// Loops that poll, retry after EINTR or wait on a condition variable all take
// one Deadline, so a retry never restarts the clock and no wait can outlive the
// timeout the test asked for.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <thread>

namespace veltor::testing {

// The usual cap of a wait on a loopback peer: far beyond what a healthy one
// needs, short enough that a broken one fails the test instead of hanging it.
inline constexpr std::chrono::milliseconds kCap{5000};

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Deadline(std::chrono::milliseconds timeout)
      : when_(Clock::now() + std::max(timeout, std::chrono::milliseconds(0))) {}

  // The instant the wait ends, for std::condition_variable::wait_until.
  Clock::time_point When() const { return when_; }

  bool Expired() const { return Clock::now() >= when_; }

  // Milliseconds left, rounded up so a poll never returns a hair early and
  // spins, clamped to what poll() accepts; 0 once expired.
  int PollTimeoutMs() const {
    const auto left = when_ - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
  }

  // Like PollTimeoutMs, but never more than `cap`, for loops that must also
  // look at something poll() cannot watch (a stop flag, a child's exit).
  int PollTimeoutMs(int cap) const { return std::min(PollTimeoutMs(), cap); }

 private:
  Clock::time_point when_;
};

// Polls `condition` until it holds or `cap` runs out; the last answer counts.
template <class Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds cap = kCap) {
  const Deadline deadline(cap);
  while (!condition()) {
    if (deadline.Expired()) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Polls `sample` until it has kept one value for `quiet`, or `cap` runs out.
template <class Sample>
bool WaitUntilQuiet(Sample sample, std::chrono::milliseconds quiet, std::chrono::milliseconds cap = kCap) {
  const Deadline deadline(cap);
  auto last = sample();
  auto since = Deadline::Clock::now();
  while (!deadline.Expired()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto now = sample();
    if (now != last) {
      last = now;
      since = Deadline::Clock::now();
    } else if (Deadline::Clock::now() - since >= quiet) {
      return true;
    }
  }
  return false;
}

}  // namespace veltor::testing
