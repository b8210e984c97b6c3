// ClientConnection: one admitted downstream client, with its socket, its two
// queues, its counters and its own worker thread.
//
// Threads: the main thread fills `downstream` (QueueData) and empties `upstream`
// (TakeUpstream); the worker does the opposite. The worker reads the socket;
// sending on it is the worker's, except that when nothing is queued and
// nobody sends, the main thread hands a block to the socket itself, without
// waiting, and queues only what the socket did not take (one sender at a
// time, so the bytes keep their order). Each queue has its own mutex, held for
// one list operation and never together with the other. Fields that one
// thread writes while the other reads are atomics; `active` only ever goes
// from true to false, from either side.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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
  // to forward, or its end to sweep).
  ClientConnection(uint32_t address, bool passRx, int32_t timeLimit, std::unique_ptr<NetSocket> socket,
                   std::vector<Frame> greetingFrames, WakeSignal* loopWake = nullptr);
  // Releases the record: Stop().
  ~ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  // Starts the worker. False when the thread could not be created.
  bool Start();

  // Main thread: queues a copy for the client while it is active. A client whose
  // backlog would pass kDownstreamMaxBytes is ended instead, with its "Disc" line.
  void QueueData(const uint8_t* bytes, size_t length);
  // Main thread: the oldest chunk the client sent, or nullptr.
  std::unique_ptr<DataChunk> TakeUpstream();
  // Any thread: a chunk waits in the upstream queue.
  bool HasUpstream() const;
  // Main thread: ends the client by its time limit (no "Disc" line). False when
  // it had already ended.
  bool CutOff(int64_t now);

  // Prints the "Disc" line and marks the client inactive, once per client
  // whichever thread gets there first.
  void Disconnect();
  // Asks the worker to end without waiting for it (a send in progress gives up).
  void RequestStop();
  // RequestStop() and wait for the worker. Bounded: a worker held by a client
  // that reads nothing gives up within a few milliseconds.
  void Stop();

  const uint32_t address;
  const bool passRx;
  const int32_t timeLimit;  // seconds; 0 means none

  std::atomic<bool> active{true};
  std::atomic<bool> stopRequested{false};
  std::atomic<int64_t> startTime;  // wall-clock second of admission, then of the cut-off
  std::atomic<uint64_t> bytesSent{0};
  std::atomic<int64_t> queuedBytes{0};  // changed under downstreamLock only
  std::atomic<bool> holdsSocket{true};
  bool timedOut = false;  // main thread only

 private:
  void RunWorker();
  bool SendGreeting();
  std::unique_ptr<DataChunk> TakeDownstream();
  bool UpstreamHasRoom();
  void AppendUpstream(std::unique_ptr<DataChunk> chunk);
  // The main thread's send of a block: what the socket takes at once.
  TransferResult SendWhatFits(const uint8_t* bytes, size_t length, size_t& sent);
  // Either thread, after a send: the socket is free for the other again.
  void FinishSending();
  // A send gives up when the record is being released or has ended.
  bool ShouldGiveUp() const;
  void ReleaseResources();

  std::unique_ptr<NetSocket> socket_;
  std::vector<Frame> greetingFrames_;
  WakeSignal wake_;

  WakeSignal* loopWake_;

  std::mutex downstreamLock_;  // guards downstream_, queuedBytes and the three flags below
  std::deque<std::unique_ptr<DataChunk>> downstream_;
  bool senderBusy_ = false;  // a thread is sending on the socket
  bool greeted_ = false;     // the greeting is out: data may follow
  bool closing_ = false;     // the worker is releasing the socket
  std::condition_variable senderDone_;
  std::mutex upstreamLock_;  // guards upstream_
  std::deque<std::unique_ptr<DataChunk>> upstream_;
  std::atomic<size_t> upstreamChunks_{0};  // its length, for a look without the lock

  std::thread worker_;
};

}  // namespace veltor
