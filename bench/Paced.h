// The schedule of the paced runs and the time limits of every wait on a peer.
#pragma once

#include <cstddef>

#include "bench/BenchClock.h"

namespace veltor::bench {

// One write every 20 ms, its first record a timestamped probe.
inline constexpr int kWritesPerSecond = 50;
inline constexpr size_t kConsoleRecordsPerWrite = 1;  // 64 B a write: the console rate
// 960 B a write (48 kB/s a client): busy, yet one write still fits the relay's
// 1000-byte chunk, so both peers carry it without falling behind.
inline constexpr size_t kBusyRecordsPerWrite = 15;

inline constexpr Ns kSettleTime = 2 * kSec;           // quiet time after admission before idle sampling
inline constexpr Ns kSourceSendLimit = 2 * kSec;      // a paced write the peer does not take in this time is not sent
inline constexpr Ns kDrainLimit = 10 * kSec;          // after a paced run, for the last write to reach every client
inline constexpr Ns kBacklogDrainLimit = 30 * kSec;   // after a flood, or once a stalled peer is freed

}  // namespace veltor::bench
