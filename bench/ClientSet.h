// The healthy clients of one peer, all read by one epoll thread so the
// benchmark stays cheap next to what it measures. Each client checks every
// record's marker and sequence; probes give latency samples while recording.
//
// Threads: Add, StartRecording, StopRecording and StopReading belong to the
// thread that runs the measurements; the counters may be read from it at any
// time while the reader thread updates them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/BenchClock.h"
#include "bench/Records.h"
#include "tests/support/Loopback.h"

namespace veltor::bench {

class ClientSet {
 public:
  ClientSet();
  ~ClientSet();  // stops the reader
  ClientSet(const ClientSet&) = delete;
  ClientSet& operator=(const ClientSet&) = delete;

  // Hands a connected client to the reader; false (and Fail) if epoll refuses it.
  bool Add(testing::OwnedFd fd);

  size_t Size() const { return clients_.size(); }
  // The least any client has received: how far the slowest one got.
  uint64_t MinReceived() const;
  // Bytes received by all clients together: what the peer delivered.
  uint64_t TotalReceived() const;
  std::vector<uint64_t> Received() const;
  uint64_t Errors() const;  // bad records and sequence gaps
  size_t Closed() const;    // clients the peer closed

  void StartRecording();
  std::vector<Ns> StopRecording();

  void StopReading();

 private:
  struct Client;

  void ReadLoop();
  void Drain(Client& client, std::vector<uint8_t>& buffer);
  void Consume(Client& client, const uint8_t* bytes, size_t length, Ns arrivedAt);
  void Check(Client& client, const uint8_t* record, Ns arrivedAt);

  testing::OwnedFd epoll_;
  std::vector<std::unique_ptr<Client>> clients_;  // changed by the measuring thread only
  std::atomic<bool> stop_{false};
  std::mutex samplesLock_;  // guards recording_ and samples_
  bool recording_ = false;
  std::vector<Ns> samples_;
  std::thread reader_;
};

}  // namespace veltor::bench
