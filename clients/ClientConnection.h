// ClientConnection: one admitted downstream client, with its socket, its two
// queues, its counters and its own worker thread.
//
// Threads: the main thread hands server data to the downstream queue
// (QueueData) and empties the upstream queue (TakeUpstream); the worker sends
// what is queued and reads the socket into the upstream queue. Who may send on
// the socket when is the downstream queue's rule (clients/DownstreamQueue.h).
// Each queue has its own mutex, held for one list operation and never together
// with the other. Fields that one thread writes while the other reads are
// atomics; `active` only ever goes from true to false, from either side.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clients/BacklogBudget.h"
#include "clients/DownstreamQueue.h"
#include "net/NetSocket.h"
#include "net/Transfer.h"
#include "platform/WakeSignal.h"

namespace veltor {

class ClientConnection {
 public:
  using Frame = std::vector<uint8_t>;

  // The record is complete but its worker not yet started: call Start().
  // `greetingFrames` are sent by the worker, whole and in order, before any
  // queued data, so a slow client never holds the main thread. `loopWake`,
  // when given, is raised when the relay loop has work from this client (data
  // to forward, or its end to sweep). `budget` (the table's; when null, one of
  // the record's own with the default bounds) bounds its backlog.
  ClientConnection(uint32_t address, bool passRx, int32_t timeLimit, std::unique_ptr<NetSocket> socket,
                   std::vector<Frame> greetingFrames, WakeSignal* loopWake = nullptr,
                   BacklogBudget* budget = nullptr);
  // Releases the record: Stop().
  ~ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  // Starts the worker. False when the thread could not be created.
  bool Start();

  // Main thread: hands a block to the client while it is active: straight to
  // its socket when it is up to date, else queued for the worker. A client
  // whose backlog would pass its cap is ended instead (EndForBacklog).
  void QueueData(const uint8_t* bytes, size_t length);
  // Main thread: ends the client with its "Disc" line and frees its backlog at
  // once, for a backlog over its cap or the relay's total.
  void EndForBacklog();
  // Main thread: the oldest chunk the client sent, or nullptr.
  std::unique_ptr<DataChunk> TakeUpstream();
  // Any thread: a chunk waits in the upstream queue.
  bool HasUpstream() const;
  // Main thread: the client ended by itself (its end of stream, a broken
  // connection or its backlog) with chunks it sent still to forward: they go
  // to the server before the record is released.
  bool HasLastWords() const { return !active.load() && !cutOff_ && HasUpstream(); }
  // Main thread: ends the client by its time limit (no "Disc" line); what it
  // sent and was not forwarded yet is dropped. False when it had already ended.
  bool CutOff(int64_t now);

  // Prints the "Disc" line and marks the client inactive, once per client
  // whichever thread gets there first.
  void Disconnect();
  // Asks the worker to end without waiting for it (a send in progress gives up).
  void RequestStop();
  // RequestStop() and wait for the worker. Bounded: a worker held by a client
  // that reads nothing gives up within a few milliseconds.
  void Stop();

  // What the backlog holds in memory right now, its bookkeeping included.
  size_t BacklogMemoryBytes() const { return downstream_.HeldBytes(); }

  const uint32_t address;
  const bool passRx;
  const int32_t timeLimit;  // seconds; 0 means none

  std::atomic<bool> active{true};
  std::atomic<bool> stopRequested{false};
  std::atomic<int64_t> startTime;  // wall-clock second of admission, then of the cut-off
  std::atomic<uint64_t> bytesSent{0};
  std::atomic<int64_t> queuedBytes{0};  // changed under the downstream queue's lock only
  std::atomic<bool> holdsSocket{true};
  bool timedOut = false;  // main thread only
  std::string hostName;   // main thread only: the name found at admission, or empty

 private:
  void RunWorker();
  bool SendGreeting();
  // Reads what a client without pass-through sent and drops it, cheaply: a
  // large read, then a pause, so a flood costs little and is never kept.
  void DropIncoming(int waitMs);
  void ReceiveUpstream(int waitMs);
  bool UpstreamHasRoom();
  void AppendUpstream(std::unique_ptr<DataChunk> chunk);
  // A send gives up when the record is being released or has ended.
  bool ShouldGiveUp() const;
  void ReleaseResources();
  // The worker's way to end the client: its "Disc" line counts a direct
  // send of the main thread that was under way.
  void EndFromWorker();
  void ReportEnd();

  std::unique_ptr<BacklogBudget> ownBudget_;  // when the caller gave none
  std::unique_ptr<NetSocket> socket_;
  std::vector<Frame> greetingFrames_;
  WakeSignal wake_;
  WakeSignal* loopWake_;
  bool cutOff_ = false;  // main thread only: ended by its time limit

  DownstreamQueue downstream_;
  std::mutex upstreamLock_;  // guards upstream_
  std::deque<std::unique_ptr<DataChunk>> upstream_;
  std::atomic<size_t> upstreamChunks_{0};  // its length, for a look without the lock

  std::thread::id workerThread_;  // the worker's own: set as it starts, checked by its steps
  std::thread worker_;
};

}  // namespace veltor
