// A client that sends zeros as fast as the peer takes them, as
// `cat /dev/zero | nc HOST PORT` would, and reads and drops whatever the peer
// sends it so it never stalls the peer's writes to it.
//
// Threads: Start and Stop belong to the measuring thread; the counters may be
// read from it while the flooder's own thread updates them.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "bench/BenchClock.h"
#include "tests/support/Loopback.h"

namespace veltor::bench {

class Flooder {
 public:
  explicit Flooder(testing::OwnedFd fd) : fd_(std::move(fd)) {}
  ~Flooder() { Stop(); }
  Flooder(const Flooder&) = delete;
  Flooder& operator=(const Flooder&) = delete;

  // Floods until Stop, an interrupt, or `deadline` as the last resort.
  void Start(Ns deadline);
  void Stop();

  uint64_t Sent() const { return sent_.load(); }
  uint64_t Received() const { return received_.load(); }
  // True once the peer closed or reset the connection.
  bool Closed() const { return closed_.load(); }

 private:
  void Loop(Ns deadline);

  testing::OwnedFd fd_;
  std::atomic<uint64_t> sent_{0};
  std::atomic<uint64_t> received_{0};
  std::atomic<bool> closed_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace veltor::bench
