// The benchmark's one clock: CLOCK_MONOTONIC in nanoseconds, the same time
// base the records carry, so a latency is one subtraction. Sleeps end early on
// an interrupt and say so.
#pragma once

#include <chrono>
#include <cstdint>

namespace veltor::bench {

using Ns = int64_t;
inline constexpr Ns kUs = 1'000;
inline constexpr Ns kMs = 1'000'000;
inline constexpr Ns kSec = 1'000'000'000;

Ns NowNs();
Ns Seconds(double seconds);

// What is left until `when`, for the kit's waits that count in milliseconds;
// zero once past.
std::chrono::milliseconds MsUntil(Ns when);

// Both return false when an interrupt cut the sleep short.
bool SleepUntil(Ns when);
// In steps of at most 100 ms, so an interrupt ends a long wait promptly.
bool SleepFor(Ns duration);

}  // namespace veltor::bench
