// A point in time that every bounded wait in the test support counts down to.
//
// Loops that poll, retry after EINTR or wait on a condition variable all take
// one Deadline, so a retry never restarts the clock and no wait can outlive the
// timeout the test asked for.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>

namespace veltor::testing {

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

}  // namespace veltor::testing
