#include "net/ServerStream.h"

#include <algorithm>

#include "core/Clock.h"
#include "core/Constants.h"

namespace veltor {

namespace {
// Taken bytes are dropped from the front of the buffer once this many gathered,
// so the buffer is moved rarely and never holds much that is spent.
constexpr size_t kCompactAfterBytes = 256 * 1024;
constexpr size_t kReadStepBytes = 64 * 1024;
}  // namespace

ServerStream::ServerStream(std::unique_ptr<NetSocket> socket) : socket_(std::move(socket)) {}

void ServerStream::EndReading() {
  reading_ = false;
  writing_ = false;
  pending_.reset();
}

void ServerStream::Read(int waitMs) {
  if (!reading_) return;
  if (BufferedBytes() == 0 && waitMs > 0 && !WaitReadable(socket_.get(), waitMs)) return;
  // Full: stop reading, so that TCP slows the server down until clients catch up.
  while (reading_ && BufferedBytes() < kServerBufferMaxBytes) {
    uint8_t scratch[kReadStepBytes];
    const size_t room = std::min(sizeof scratch, kServerBufferMaxBytes - BufferedBytes());
    size_t received = 0;
    const TransferResult result = ReceiveSome(socket_.get(), scratch, room, received);
    buffer_.insert(buffer_.end(), scratch, scratch + received);
    if (result == TransferResult::Failed) EndReading();  // its end, or a reset: nothing more comes
    if (result != TransferResult::Done) break;
  }
}

std::unique_ptr<DataChunk> ServerStream::TakeChunk(size_t maxBytes) {
  const size_t length = std::min(maxBytes, BufferedBytes());
  if (length == 0) return nullptr;
  auto chunk = std::make_unique<DataChunk>();
  const auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(head_);
  chunk->bytes.assign(first, first + static_cast<std::ptrdiff_t>(length));
  head_ += length;
  if (head_ == buffer_.size()) {
    buffer_.clear();
    head_ = 0;
  } else if (head_ >= kCompactAfterBytes) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  return chunk;
}

void ServerStream::Forward(std::unique_ptr<DataChunk> chunk) {
  Read(0);
  if (!CanForward() || !chunk) return;
  pending_ = std::move(chunk);
  pendingSent_ = 0;
  lastProgressTick_ = TickNow();
  ContinueForward();
}

void ServerStream::ContinueForward() {
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
        EndReading();
      }
      return;
  }
}

}  // namespace veltor
