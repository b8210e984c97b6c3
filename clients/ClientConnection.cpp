#include "clients/ClientConnection.h"

#include "base/Clock.h"
#include "base/Constants.h"
#include "base/EventText.h"
#include "base/Output.h"
#include "base/StartThread.h"
#include "base/ThreadCheck.h"
#include "platform/LocalTime.h"

namespace veltor {

ClientConnection::ClientConnection(uint32_t clientAddress, bool clientPassRx, int32_t clientTimeLimit,
                                   std::unique_ptr<NetSocket> socket, std::vector<Frame> greetingFrames,
                                   WakeSignal* loopWake, BacklogBudget* budget)
    : address(clientAddress),
      passRx(clientPassRx),
      timeLimit(clientTimeLimit),
      startTime(WallNow()),
      ownBudget_(budget == nullptr ? std::make_unique<BacklogBudget>() : nullptr),
      socket_(std::move(socket)),
      greetingFrames_(std::move(greetingFrames)),
      loopWake_(loopWake),
      downstream_(socket_.get(), queuedBytes, bytesSent, budget != nullptr ? *budget : *ownBudget_) {}

ClientConnection::~ClientConnection() { Stop(); }

bool ClientConnection::Start() {
  return StartThread(worker_, [this] { RunWorker(); });
}

void ClientConnection::QueueData(const uint8_t* bytes, size_t length) {
  AssertMainThread();
  if (!active.load()) return;
  const DownstreamQueue::DeliverResult result = downstream_.Deliver(bytes, length);
  switch (result.delivery) {
    case DownstreamQueue::Delivery::OverCap:
      // A client this far behind has stopped reading; ending it keeps one
      // stalled client from exhausting the memory every other client depends on.
      EndForBacklog();
      return;
    case DownstreamQueue::Delivery::Failed:
      Disconnect();
      return;
    case DownstreamQueue::Delivery::Queued:
      if (result.wakeWorker) wake_.Raise();
      return;
    case DownstreamQueue::Delivery::Sent:
      return;
  }
}

void ClientConnection::EndForBacklog() {
  AssertMainThread();
  Disconnect();
  downstream_.Discard();
}

std::unique_ptr<DataChunk> ClientConnection::TakeUpstream() {
  AssertMainThread();
  std::unique_ptr<DataChunk> chunk;
  bool wasFull = false;
  {
    std::lock_guard<std::mutex> guard(upstreamLock_);
    if (upstream_.empty()) return nullptr;
    wasFull = upstream_.size() >= kUpstreamMaxChunks;
    chunk = std::move(upstream_.front());
    upstream_.pop_front();
    upstreamChunks_.store(upstream_.size());
  }
  if (wasFull) wake_.Raise();  // the worker paused reading; there is room again
  return chunk;
}

bool ClientConnection::HasUpstream() const { return upstreamChunks_.load() > 0; }

bool ClientConnection::CutOff(int64_t now) {
  AssertMainThread();
  if (!active.exchange(false)) return false;
  cutOff_ = true;
  timedOut = true;
  startTime.store(now);
  wake_.Raise();
  return true;
}

void ClientConnection::Disconnect() {
  if (!active.exchange(false)) return;
  ReportEnd();
}

void ClientConnection::EndFromWorker() {
  AssertOnThread(workerThread_);
  if (!active.exchange(false)) return;
  // The main thread may be handing the client a block this very moment; its
  // bytes belong in the "Disc" line, and no further block starts now.
  downstream_.AwaitDirectSend();
  ReportEnd();
}

void ClientConnection::ReportEnd() {
  const int64_t elapsed = WallNow() - startTime.load();
  LogOut("%s: %s", TimestampNow().c_str(), DiscText(address, bytesSent.load(), elapsed).c_str());
  wake_.Raise();
  if (loopWake_ != nullptr) loopWake_->Raise();  // the record is for the next sweep to release
}

void ClientConnection::RequestStop() {
  stopRequested.store(true);
  wake_.Raise();
}

void ClientConnection::Stop() {
  RequestStop();
  if (worker_.joinable()) worker_.join();
}

bool ClientConnection::ShouldGiveUp() const { return stopRequested.load() || !active.load(); }

bool ClientConnection::UpstreamHasRoom() {
  std::lock_guard<std::mutex> guard(upstreamLock_);
  return upstream_.size() < kUpstreamMaxChunks;
}

void ClientConnection::AppendUpstream(std::unique_ptr<DataChunk> chunk) {
  {
    std::lock_guard<std::mutex> guard(upstreamLock_);
    upstream_.push_back(std::move(chunk));
    upstreamChunks_.store(upstream_.size());
  }
  if (loopWake_ != nullptr) loopWake_->Raise();  // a chunk for the next pass to forward
}

bool ClientConnection::SendGreeting() {
  AssertOnThread(workerThread_);
  // The greeting belongs to the admission: it goes out whole even to a client
  // cut off in the pass that admitted it, and only a release interrupts it.
  const SendBound bound{[this] { return stopRequested.load(); }, -1, &wake_};
  for (const Frame& frame : greetingFrames_) {
    if (SendAll(frame.data(), frame.size(), socket_.get(), bound) == TransferResult::Failed) {
      // The client is ended rather than left with a cut-off frame.
      if (!stopRequested.load()) EndFromWorker();
      return false;
    }
  }
  greetingFrames_.clear();
  greetingFrames_.shrink_to_fit();
  downstream_.MarkGreeted();
  return true;
}

void ClientConnection::ReceiveUpstream(int waitMs) {
  AssertOnThread(workerThread_);
  if (!UpstreamHasRoom()) {
    // Reading no more lets TCP slow the client down; nothing it sent is lost.
    if (waitMs > 0 && wake_.Wait(waitMs)) wake_.Drain();
    return;
  }
  std::unique_ptr<DataChunk> received;
  switch (ReceiveChunk(socket_.get(), received, waitMs, &wake_)) {
    case TransferResult::Failed:
      // What it sent before its end stays queued for the main thread to forward.
      if (!stopRequested.load()) EndFromWorker();
      return;
    case TransferResult::Done:
      AppendUpstream(std::move(received));
      return;
    case TransferResult::Idle:
      return;
  }
}

void ClientConnection::DropIncoming(int waitMs) {
  AssertOnThread(workerThread_);
  if (!WaitReadable(socket_.get(), waitMs, &wake_)) return;
  uint8_t scratch[kDropReadBytes];
  size_t received = 0;
  switch (ReceiveSome(socket_.get(), scratch, sizeof scratch, received)) {
    case TransferResult::Failed:
      if (!stopRequested.load()) EndFromWorker();
      return;
    case TransferResult::Done:
      // A full read means the client sends flat out: let TCP hold it back for
      // a moment rather than spend a core reading what nobody keeps.
      if (received == sizeof scratch && wake_.Wait(kDropReadPauseMs)) wake_.Drain();
      return;
    case TransferResult::Idle:
      return;
  }
}

void ClientConnection::RunWorker() {
  workerThread_ = std::this_thread::get_id();
  // A send held by a client that reads nothing waits for room or the wake
  // signal, which every stop, cut-off and disconnect raises.
  const SendBound bound{[this] { return ShouldGiveUp(); }, -1, &wake_};
  const bool greeted = SendGreeting();
  while (greeted && !stopRequested.load() && active.load()) {
    size_t sent = 0;
    if (downstream_.SendNext(bound, sent) == DownstreamQueue::Sending::Failed) {
      // Giving up on a release or a cut-off is not the client's end to report.
      if (!ShouldGiveUp()) EndFromWorker();
      continue;
    }
    // With more queued, only look at the client's side; with nothing queued,
    // wait for either side (or the wake signal) in one go.
    const int waitMs = downstream_.HasQueued() ? 0 : kWorkerIdleWaitMs;
    if (passRx) {
      ReceiveUpstream(waitMs);
    } else {
      DropIncoming(waitMs);
    }
  }
  ReleaseResources();
}

void ClientConnection::ReleaseResources() {
  AssertOnThread(workerThread_);
  // Closing with unread input makes the kernel reset the connection, and a
  // reset throws away what the client has not received yet (the end of its
  // greeting, say). Read and drop what it sent first; bounded, since a client
  // may keep sending.
  if (socket_ && socket_->Valid()) {
    uint8_t scratch[kChunkMaxBytes];
    size_t received = 0;
    for (int chunk = 0; chunk < kCloseDrainMaxChunks; ++chunk) {
      if (ReceiveSome(socket_.get(), scratch, sizeof scratch, received) != TransferResult::Done) break;
    }
  }
  downstream_.Close();
  socket_.reset();
  holdsSocket.store(false);
  // What was queued and never sent is freed without changing queuedBytes, so
  // the status table keeps showing what this client never received.
  downstream_.Discard();
  if (stopRequested.load()) {
    // Released: nothing it sent is forwarded any more.
    std::deque<std::unique_ptr<DataChunk>> leftUp;
    std::lock_guard<std::mutex> guard(upstreamLock_);
    leftUp.swap(upstream_);
    upstreamChunks_.store(0);
  }
}

}  // namespace veltor
