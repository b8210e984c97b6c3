#include "clients/DownstreamQueue.h"

#include <algorithm>
#include <utility>

#include "base/ThreadCheck.h"

namespace veltor {

DownstreamQueue::DownstreamQueue(NetSocket* socket, std::atomic<int64_t>& queuedBytes,
                                 std::atomic<uint64_t>& bytesSent, BacklogBudget& budget)
    : socket_(socket), queuedBytes_(queuedBytes), bytesSent_(bytesSent), budget_(budget) {}

DownstreamQueue::~DownstreamQueue() { Discard(); }

DownstreamQueue::DeliverResult DownstreamQueue::Deliver(const uint8_t* bytes, size_t length) {
  AssertMainThread();
  DeliverResult result;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (discarded_ || closing_) return result;  // the client is going: nothing more is kept for it
    if (queuedBytes_.load() + static_cast<int64_t>(length) > budget_.PerClientMaxBytes()) {
      result.delivery = Delivery::OverCap;
      return result;
    }
    if (!greeted_ || senderBusy_ || !blocks_.empty()) {
      AppendLocked(bytes, length);
      // A worker in the middle of a send looks at the queue when it is done;
      // waking it would only cost a client that reads nothing a wake-up a block.
      result.wakeWorker = !senderBusy_;
      return result;
    }
    senderBusy_ = true;  // nothing is ahead of this block and nobody sends
    directSend_ = true;
  }

  size_t sent = 0;
  while (sent < length) {
    size_t taken = 0;
    const TransferResult moved = SendSome(bytes + sent, length - sent, socket_, taken);
    if (moved == TransferResult::Failed) {
      bytesSent_.fetch_add(sent);
      ReleaseGate();
      result.delivery = Delivery::Failed;
      result.sentBytes = sent;
      return result;
    }
    if (moved == TransferResult::Idle) break;
    sent += taken;
  }
  result.sentBytes = sent;
  // Counted before the gate opens: a worker that sees the client's end waits
  // for the gate, so its "Disc" line counts what this send delivered.
  bytesSent_.fetch_add(sent);
  if (sent == length) {
    ReleaseGate();
    result.delivery = Delivery::Sent;
    return result;
  }
  {
    // Still holding the gate: the rest goes in before anything can follow it.
    std::lock_guard<std::mutex> guard(lock_);
    AppendLocked(bytes + sent, length - sent);
    senderBusy_ = false;
    directSend_ = false;
  }
  senderDone_.notify_all();
  result.wakeWorker = true;
  return result;
}

DownstreamQueue::Sending DownstreamQueue::SendNext(const SendBound& bound, size_t& sentBytes) {
  sentBytes = 0;
  Block block;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (blocks_.empty() || senderBusy_ || closing_) return Sending::Nothing;
    block = std::move(blocks_.front());
    blocks_.pop_front();
    const int64_t length = static_cast<int64_t>(block.bytes.size());
    queuedBytes_.store(queuedBytes_.load() - length);
    budgetedBytes_.fetch_sub(length);
    budget_.Remove(length);
    senderBusy_ = true;  // until the block is out: order on the wire is queue order
  }
  const TransferResult result = SendAll(block.bytes.data(), block.bytes.size(), socket_, bound);
  if (result != TransferResult::Failed) {
    sentBytes = block.bytes.size();
    bytesSent_.fetch_add(sentBytes);
  }
  ReleaseGate();
  return result == TransferResult::Failed ? Sending::Failed : Sending::Sent;
}

void DownstreamQueue::MarkGreeted() {
  std::lock_guard<std::mutex> guard(lock_);
  greeted_ = true;
}

void DownstreamQueue::Close() {
  // A direct send in flight never waits, so neither does this for long.
  std::unique_lock<std::mutex> guard(lock_);
  closing_ = true;
  senderDone_.wait(guard, [this] { return !senderBusy_; });
}

void DownstreamQueue::AwaitDirectSend() {
  std::unique_lock<std::mutex> guard(lock_);
  senderDone_.wait(guard, [this] { return !directSend_; });
}

void DownstreamQueue::Discard() {
  std::deque<Block> dropped;
  int64_t droppedBytes = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    discarded_ = true;
    dropped.swap(blocks_);
    droppedBytes = budgetedBytes_.exchange(0);
  }
  // Freed outside the lock: a large backlog takes a moment to give back. The
  // budget hears of it only once freed, or the main thread could hand memory
  // back to the system before there is any to hand.
  dropped.clear();
  budget_.Remove(droppedBytes);
}

size_t DownstreamQueue::HeldBytes() const {
  std::lock_guard<std::mutex> guard(lock_);
  size_t held = 0;
  for (const Block& block : blocks_) held += block.bytes.capacity() + kBlockOverheadBytes;
  return held;
}

void DownstreamQueue::AppendLocked(const uint8_t* bytes, size_t length) {
  queuedBytes_.store(queuedBytes_.load() + static_cast<int64_t>(length));
  budgetedBytes_.fetch_add(static_cast<int64_t>(length));
  budget_.Add(static_cast<int64_t>(length));
  while (length > 0) {
    if (blocks_.empty() || blocks_.back().bytes.size() == blocks_.back().bytes.capacity()) {
      blocks_.emplace_back();
      blocks_.back().bytes.reserve(kBacklogBlockBytes);
    }
    std::vector<uint8_t>& tail = blocks_.back().bytes;
    const size_t taken = std::min(length, tail.capacity() - tail.size());
    tail.insert(tail.end(), bytes, bytes + taken);
    bytes += taken;
    length -= taken;
  }
}

void DownstreamQueue::ReleaseGate() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    senderBusy_ = false;
    directSend_ = false;
  }
  senderDone_.notify_all();
}

}  // namespace veltor
