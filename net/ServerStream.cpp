#include "net/ServerStream.h"

#include <algorithm>
#include <chrono>

#include "base/Clock.h"
#include "base/StartThread.h"
#include "base/Constants.h"
#include "base/ThreadCheck.h"

namespace veltor {

namespace {
// Taken bytes are dropped from the front of the buffer once this many gathered,
// so the buffer is moved rarely and never holds much that is spent.
constexpr size_t kCompactAfterBytes = 256 * 1024;
constexpr size_t kReadStepBytes = 64 * 1024;
// An empty buffer grown past this by a burst is let go, so that a burst's
// memory is not kept for the rest of the connection.
constexpr size_t kKeptCapacityBytes = 256 * 1024;
}  // namespace

ServerStream::ServerStream(std::unique_ptr<NetSocket> socket, WakeSignal* loopWake)
    : socket_(std::move(socket)), loopWake_(loopWake) {}

ServerStream::~ServerStream() {
  stopRequested_.store(true);
  readerWake_.Raise();
  if (reader_.joinable()) reader_.join();
}

bool ServerStream::Start() {
  return StartThread(reader_, [this] { RunReader(); });
}

void ServerStream::RunReader() {
  uint8_t scratch[kReadStepBytes];
  while (!stopRequested_.load()) {
    size_t room = 0;
    {
      std::lock_guard<std::mutex> guard(bufferLock_);
      room = kServerBufferMaxBytes - (buffer_.size() - head_);
    }
    if (room == 0) {
      // Full: read no more, so TCP slows the server down until clients catch up.
      if (readerWake_.Wait(kWorkerIdleWaitMs)) readerWake_.Drain();
      continue;
    }
    if (!WaitReadable(socket_.get(), kWorkerIdleWaitMs, &readerWake_)) continue;
    size_t received = 0;
    const TransferResult result = ReceiveSome(socket_.get(), scratch, std::min(room, sizeof scratch), received);
    if (result == TransferResult::Idle) continue;
    {
      std::lock_guard<std::mutex> guard(bufferLock_);
      buffer_.insert(buffer_.end(), scratch, scratch + received);
      if (result == TransferResult::Failed) ended_ = true;  // its end, or a reset: nothing more comes
    }
    dataArrived_.notify_all();
    if (loopWake_ != nullptr) loopWake_->Raise();
    if (result == TransferResult::Failed) return;
  }
}

void ServerStream::WaitForData(int waitMs) {
  std::unique_lock<std::mutex> guard(bufferLock_);
  dataArrived_.wait_for(guard, std::chrono::milliseconds(waitMs),
                        [this] { return ended_ || head_ < buffer_.size() || stopRequested_.load(); });
}

std::unique_ptr<DataChunk> ServerStream::TakeChunk(size_t maxBytes) {
  AssertMainThread();
  std::unique_ptr<DataChunk> chunk;
  bool wasFull = false;
  {
    std::lock_guard<std::mutex> guard(bufferLock_);
    const size_t buffered = buffer_.size() - head_;
    const size_t length = std::min(maxBytes, buffered);
    if (length == 0) return nullptr;
    wasFull = buffered >= kServerBufferMaxBytes;
    chunk = std::make_unique<DataChunk>();
    const auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(head_);
    chunk->bytes.assign(first, first + static_cast<std::ptrdiff_t>(length));
    head_ += length;
    if (head_ == buffer_.size()) {
      if (buffer_.capacity() > kKeptCapacityBytes) {
        std::vector<uint8_t>().swap(buffer_);
      } else {
        buffer_.clear();
      }
      head_ = 0;
    } else if (head_ >= kCompactAfterBytes) {
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
  }
  if (wasFull) readerWake_.Raise();  // room again
  return chunk;
}

size_t ServerStream::BufferedBytes() const {
  std::lock_guard<std::mutex> guard(bufferLock_);
  return buffer_.size() - head_;
}

bool ServerStream::ReadingEnded() const {
  std::lock_guard<std::mutex> guard(bufferLock_);
  return ended_;
}

bool ServerStream::Finished() const {
  std::lock_guard<std::mutex> guard(bufferLock_);
  return (ended_ || stopRequested_.load()) && head_ == buffer_.size();
}

void ServerStream::GiveUp() {
  writing_ = false;
  pending_.reset();
  stopRequested_.store(true);
  readerWake_.Raise();
}

void ServerStream::Forward(std::unique_ptr<DataChunk> chunk) {
  AssertMainThread();
  if (ReadingEnded()) writing_ = false;
  if (!CanForward() || !chunk) return;
  pending_ = std::move(chunk);
  pendingSent_ = 0;
  lastProgressTick_ = TickNow();
  ContinueForward();
}

void ServerStream::ContinueForward() {
  AssertMainThread();
  if (!pending_) return;
  size_t sent = 0;
  switch (SendSome(pending_->bytes.data() + pendingSent_, pending_->Length() - pendingSent_, socket_.get(), sent)) {
    case TransferResult::Failed:
      // The server is going away; what it still sends is read to its end.
      writing_ = false;
      pending_.reset();
      return;
    case TransferResult::Done:
      pendingSent_ += sent;
      lastProgressTick_ = TickNow();
      if (pendingSent_ == pending_->Length()) pending_.reset();
      return;
    case TransferResult::Idle:
      // A server that neither reads nor ends would hold its clients' input for good.
      if (static_cast<uint32_t>(TickNow() - lastProgressTick_) >= static_cast<uint32_t>(kServerSendStallMs)) {
        GiveUp();
      }
      return;
  }
}

}  // namespace veltor
