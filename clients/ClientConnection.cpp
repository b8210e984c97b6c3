#include "clients/ClientConnection.h"


#include "base/Clock.h"
#include "base/StartThread.h"
#include "base/Constants.h"
#include "base/EventText.h"
#include "base/Ipv4.h"
#include "base/Output.h"
#include "platform/LocalTime.h"

namespace veltor {

ClientConnection::ClientConnection(uint32_t clientAddress, bool clientPassRx, int32_t clientTimeLimit,
                                   std::unique_ptr<NetSocket> socket, std::vector<Frame> greetingFrames,
                                   WakeSignal* loopWake)
    : address(clientAddress),
      passRx(clientPassRx),
      timeLimit(clientTimeLimit),
      startTime(WallNow()),
      socket_(std::move(socket)),
      greetingFrames_(std::move(greetingFrames)),
      loopWake_(loopWake) {}

ClientConnection::~ClientConnection() { Stop(); }

bool ClientConnection::Start() {
  return StartThread(worker_, [this] { RunWorker(); });
}

void ClientConnection::QueueData(const uint8_t* bytes, size_t length) {
  if (!active.load()) return;
  enum class Way { Queue, SendNow, Overflow } way = Way::Queue;
  {
    std::lock_guard<std::mutex> guard(downstreamLock_);
    if (queuedBytes.load() + static_cast<int64_t>(length) > kDownstreamMaxBytes) {
      way = Way::Overflow;
    } else if (greeted_ && !closing_ && !senderBusy_ && downstream_.empty()) {
      // Nothing is ahead of this block and nobody sends: the main thread may
      // hand it to the socket itself, which saves waking the worker for it.
      senderBusy_ = true;
      way = Way::SendNow;
    }
  }
  // A client this far behind has stopped reading; ending it keeps one stalled
  // client from exhausting the memory every other client depends on.
  if (way == Way::Overflow) {
    Disconnect();  // raises the wake signal itself
    return;
  }
  size_t sent = 0;
  if (way == Way::SendNow) {
    const TransferResult result = SendWhatFits(bytes, length, sent);
    if (result == TransferResult::Failed) {
      FinishSending();
      Disconnect();
      return;
    }
    bytesSent.fetch_add(sent);
    if (sent == length) {
      FinishSending();
      return;
    }
  }
  // The rest goes to the worker, which waits for the client to take it.
  auto chunk = std::make_unique<DataChunk>();
  chunk->bytes.assign(bytes + sent, bytes + length);
  bool workerSending = false;
  {
    std::lock_guard<std::mutex> guard(downstreamLock_);
    queuedBytes.store(queuedBytes.load() + static_cast<int64_t>(chunk->Length()));
    downstream_.push_back(std::move(chunk));
    if (way == Way::SendNow) senderBusy_ = false;
    workerSending = senderBusy_;
  }
  if (way == Way::SendNow) senderDone_.notify_all();
  // A worker in the middle of a send looks at the queue when it is done;
  // waking it would only cost a client that reads nothing a wake-up a chunk.
  if (!workerSending) wake_.Raise();
}

TransferResult ClientConnection::SendWhatFits(const uint8_t* bytes, size_t length, size_t& sent) {
  sent = 0;
  while (sent < length) {
    size_t taken = 0;
    const TransferResult result = SendSome(bytes + sent, length - sent, socket_.get(), taken);
    if (result != TransferResult::Done) return result;
    sent += taken;
  }
  return TransferResult::Done;
}

void ClientConnection::FinishSending() {
  {
    std::lock_guard<std::mutex> guard(downstreamLock_);
    senderBusy_ = false;
  }
  senderDone_.notify_all();
}

std::unique_ptr<DataChunk> ClientConnection::TakeUpstream() {
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

bool ClientConnection::CutOff(int64_t now) {
  if (!active.exchange(false)) return false;
  timedOut = true;
  startTime.store(now);
  wake_.Raise();
  return true;
}

void ClientConnection::Disconnect() {
  if (!active.exchange(false)) return;
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

std::unique_ptr<DataChunk> ClientConnection::TakeDownstream() {
  std::lock_guard<std::mutex> guard(downstreamLock_);
  if (downstream_.empty() || senderBusy_) return nullptr;
  std::unique_ptr<DataChunk> chunk = std::move(downstream_.front());
  downstream_.pop_front();
  queuedBytes.store(queuedBytes.load() - static_cast<int64_t>(chunk->Length()));
  senderBusy_ = true;  // until the worker has sent it: order on the wire is queue order
  return chunk;
}

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

bool ClientConnection::HasUpstream() const { return upstreamChunks_.load() > 0; }

bool ClientConnection::SendGreeting() {
  // The greeting belongs to the admission: it goes out whole even to a client
  // cut off in the pass that admitted it, and only a release interrupts it.
  const SendBound bound{[this] { return stopRequested.load(); }, -1, &wake_};
  for (const Frame& frame : greetingFrames_) {
    if (SendAll(frame.data(), frame.size(), socket_.get(), bound) == TransferResult::Failed) {
      // The client is ended rather than left with a cut-off frame.
      if (!stopRequested.load()) Disconnect();
      return false;
    }
  }
  greetingFrames_.clear();
  greetingFrames_.shrink_to_fit();
  {
    std::lock_guard<std::mutex> guard(downstreamLock_);
    greeted_ = true;
  }
  return true;
}

void ClientConnection::RunWorker() {
  // A send held by a client that reads nothing waits for room or the wake
  // signal, which every stop, cut-off and disconnect raises.
  const SendBound bound{[this] { return ShouldGiveUp(); }, -1, &wake_};
  const bool greeted = SendGreeting();
  while (greeted && !stopRequested.load() && active.load()) {
    if (std::unique_ptr<DataChunk> chunk = TakeDownstream()) {
      const TransferResult result = SendAll(chunk->bytes.data(), chunk->Length(), socket_.get(), bound);
      if (result != TransferResult::Failed) bytesSent.fetch_add(chunk->Length());
      FinishSending();
      if (result == TransferResult::Failed) {
        // Giving up on a release or a cut-off is not the client's end to report.
        if (!ShouldGiveUp()) Disconnect();
        continue;
      }
    }
    // With more queued, only look at the client's side; with nothing queued,
    // wait for either side (or the wake signal) in one go.
    const int waitMs = queuedBytes.load() > 0 ? 0 : kWorkerIdleWaitMs;

    // Only a pass-through client's queue fills; the others' data is never kept.
    if (passRx && !UpstreamHasRoom()) {
      // Reading no more lets TCP slow the client down; nothing it sent is lost.
      if (waitMs > 0 && wake_.Wait(waitMs)) wake_.Drain();
      continue;
    }
    std::unique_ptr<DataChunk> received;
    switch (ReceiveChunk(socket_.get(), received, waitMs, &wake_)) {
      case TransferResult::Failed:
        if (!stopRequested.load()) Disconnect();
        break;
      case TransferResult::Done:
        // Data of a client without pass-through is read and dropped at once.
        if (passRx) AppendUpstream(std::move(received));
        break;
      case TransferResult::Idle:
        break;
    }
  }
  ReleaseResources();
}

void ClientConnection::ReleaseResources() {
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
  {
    // A main-thread send in progress finishes first (it never waits); none starts after this.
    std::unique_lock<std::mutex> guard(downstreamLock_);
    closing_ = true;
    senderDone_.wait(guard, [this] { return !senderBusy_; });
  }
  socket_.reset();
  holdsSocket.store(false);
  // Chunks left behind are freed without changing queuedBytes, so the status
  // table keeps showing what this client never received.
  std::deque<std::unique_ptr<DataChunk>> leftDown;
  std::deque<std::unique_ptr<DataChunk>> leftUp;
  {
    std::lock_guard<std::mutex> guard(downstreamLock_);
    leftDown.swap(downstream_);
  }
  {
    std::lock_guard<std::mutex> guard(upstreamLock_);
    leftUp.swap(upstream_);
  }
}

}  // namespace veltor
