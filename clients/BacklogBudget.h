// BacklogBudget: the bounds on what the relay holds for clients that are
// behind. One per client table, shared by its records' downstream queues.
//
//   perClientMaxBytes  a client whose queued bytes would pass it is ended
//   totalMaxBytes      the sum of every client's queued bytes stays under it:
//                      the client with the largest backlog is ended first
//
// Add and Remove are called from any thread (the main thread queues, workers
// send and free); the rest is the main thread's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/Constants.h"

namespace veltor {

class BacklogBudget {
 public:
  explicit BacklogBudget(int64_t perClientMaxBytes = kDownstreamMaxBytes,
                         int64_t totalMaxBytes = kBacklogTotalMaxBytes)
      : perClientMaxBytes_(perClientMaxBytes), totalMaxBytes_(totalMaxBytes) {}
  BacklogBudget(const BacklogBudget&) = delete;
  BacklogBudget& operator=(const BacklogBudget&) = delete;

  int64_t PerClientMaxBytes() const { return perClientMaxBytes_; }
  int64_t TotalMaxBytes() const { return totalMaxBytes_; }

  void Add(int64_t bytes) { totalBytes_.fetch_add(bytes); }
  void Remove(int64_t bytes) { totalBytes_.fetch_sub(bytes); }
  // The bytes queued for every client together, right now.
  int64_t TotalBytes() const { return totalBytes_.load(); }
  // Queuing `bytes` more would pass the total.
  bool WouldPassTotal(size_t bytes) const {
    return TotalBytes() + static_cast<int64_t>(bytes) > totalMaxBytes_;
  }

  // Main thread, once a pass: true when, since the last time it said so, the
  // total has come down by kMemoryReturnAfterFreedBytes from its highest, or
  // every backlog is gone after one was held, so that handing freed memory
  // back to the system is worth its cost.
  bool TakeMemoryReturnDue() {
    const int64_t now = TotalBytes();
    if (now > highestSinceReturn_) highestSinceReturn_ = now;
    const bool allGone = now == 0 && highestSinceReturn_ >= static_cast<int64_t>(kBacklogBlockBytes);
    if (!allGone && highestSinceReturn_ - now < kMemoryReturnAfterFreedBytes) return false;
    highestSinceReturn_ = now;
    return true;
  }

 private:
  const int64_t perClientMaxBytes_;
  const int64_t totalMaxBytes_;
  std::atomic<int64_t> totalBytes_{0};
  int64_t highestSinceReturn_ = 0;  // main thread only
};

}  // namespace veltor
