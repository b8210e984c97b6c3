// DownstreamQueue: everything on its way from the relay to one client, and the
// one gate through which it reaches the client's socket.
//
//   Deliver        main thread: a block from the server, sent at once or queued
//   SendNext       worker: the oldest queued bytes, sent whole (waiting for room)
//   MarkGreeted    worker: the greeting is out, so server data may go directly
//   Close          worker: no one sends on the socket once this returns
//   Discard        any thread: frees what is queued (the client has ended)
//
// Two threads may send on the socket, never at once. The worker sends what is
// queued. The main thread may send a block itself, without waiting, but only
// when nothing is queued and nobody is sending (the gate, `senderBusy_`, taken
// under the lock): nothing older can then still be on its way, so the bytes keep
// their order. What the socket does not take of that block is queued while the
// gate is still held, so no other send can come between. Close waits for a send
// of the main thread in flight (it never waits itself), so the socket may be
// released as soon as Close returns.
//
// Memory: small blocks are joined into the tail block (kBacklogBlockBytes), so
// a backlog costs about its bytes however small the server's blocks are.
// `queuedBytes` (the record's field, read by the status table without the lock)
// counts what was queued and not yet taken for sending; Discard leaves it as it
// is, so an ended client keeps showing what it never received.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "clients/BacklogBudget.h"
#include "net/NetSocket.h"
#include "net/Transfer.h"

namespace veltor {

class DownstreamQueue {
 public:
  // `socket` stays the owner's; it must outlive Close(). What reaches the
  // socket is added to `bytesSent` before the sender lets go of the gate.
  DownstreamQueue(NetSocket* socket, std::atomic<int64_t>& queuedBytes, std::atomic<uint64_t>& bytesSent,
                  BacklogBudget& budget);
  ~DownstreamQueue();
  DownstreamQueue(const DownstreamQueue&) = delete;
  DownstreamQueue& operator=(const DownstreamQueue&) = delete;

  enum class Delivery {
    Sent,     // the socket took it all
    Queued,   // all or part of it waits for the worker
    OverCap,  // it would pass the client's backlog cap: nothing was taken
    Failed,   // the connection broke during the direct send
  };
  struct DeliverResult {
    Delivery delivery = Delivery::Queued;
    size_t sentBytes = 0;      // what reached the socket directly
    bool wakeWorker = false;   // queued while the worker is not sending: it must look
  };
  // Main thread.
  DeliverResult Deliver(const uint8_t* bytes, size_t length);

  enum class Sending { Nothing, Sent, Failed };
  // Worker: sends the oldest queued block whole, waiting for room within
  // `bound`; `sentBytes` is what went out when Sent.
  Sending SendNext(const SendBound& bound, size_t& sentBytes);
  // Worker: from now on the main thread may send directly.
  void MarkGreeted();
  // Worker: waits for a direct send in flight; afterwards nobody sends.
  void Close();
  // Worker: waits for a direct send in flight (never long: it does not wait),
  // so that `bytesSent` holds everything that reached the socket so far.
  void AwaitDirectSend();
  // Frees every queued block; `queuedBytes` keeps its value.
  void Discard();

  // Any thread: blocks wait to be sent.
  bool HasQueued() const { return budgetedBytes_.load() > 0; }
  // What the queue's blocks hold in memory, their bookkeeping included.
  size_t HeldBytes() const;

 private:
  struct Block {
    std::vector<uint8_t> bytes;  // capacity fixed at kBacklogBlockBytes
  };
  // A block's cost beyond its capacity: the vector, the deque's slot and the
  // allocator's header, rounded up.
  static constexpr size_t kBlockOverheadBytes = 64;

  // With lock_ held.
  void AppendLocked(const uint8_t* bytes, size_t length);
  void ReleaseGate();

  NetSocket* socket_;
  std::atomic<int64_t>& queuedBytes_;
  std::atomic<uint64_t>& bytesSent_;
  BacklogBudget& budget_;

  mutable std::mutex lock_;  // guards everything below, and queuedBytes_ changes
  std::deque<Block> blocks_;
  std::atomic<int64_t> budgetedBytes_{0};  // bytes in blocks_, as counted in budget_
  bool senderBusy_ = false;    // a thread is sending on the socket
  bool directSend_ = false;    // ... and it is the main thread
  bool greeted_ = false;       // the greeting is out: data may go directly
  bool closing_ = false;       // the socket is being released: no send starts
  bool discarded_ = false;     // the client has ended: nothing is queued any more
  std::condition_variable senderDone_;
};

}  // namespace veltor
