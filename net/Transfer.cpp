#include "net/Transfer.h"

#include "base/Clock.h"
#include "platform/SocketWait.h"

namespace veltor {

namespace {

bool Usable(const NetSocket* socket) { return socket != nullptr && socket->Valid(); }

bool HasWake(const WakeSignal* wake) { return wake != nullptr && wake->NativeHandle() != kNoSocket; }

}  // namespace

TransferResult SendAll(const uint8_t* bytes, size_t length, NetSocket* socket, const SendBound& bound) {
  if (!Usable(socket)) return TransferResult::Failed;
  if (length == 0) return TransferResult::Done;

  TransferResult result = TransferResult::Done;
  uint32_t lastProgressTick = TickNow();
  // With a wake signal every reason to give up arrives as a wake-up, so the
  // wait for room needs no short time-out.
  const int waitMs = HasWake(bound.wake) ? kWorkerIdleWaitMs : kSendWaitMs;
  while (length > 0) {
    const IoOutcome sent = SendNow(socket->Handle(), bytes, length);
    if (sent.kind == IoOutcome::Kind::Done) {
      bytes += sent.bytes;
      length -= sent.bytes;
      lastProgressTick = TickNow();
      continue;
    }
    if (sent.kind != IoOutcome::Kind::WouldBlock) return TransferResult::Failed;

    result = TransferResult::Idle;
    switch (WaitForSocket(socket->Handle(), Readiness::Write, waitMs, bound.wake)) {
      case WaitOutcome::Ready:
        continue;  // room, or a send that will fail
      case WaitOutcome::Failed:
        return TransferResult::Failed;
      case WaitOutcome::Woken:
      case WaitOutcome::TimedOut:
        break;
    }
    if (bound.giveUp && bound.giveUp()) return TransferResult::Failed;
    // Unsigned 32-bit tick differences stay right across the tick's wrap.
    if (bound.stallLimitMs >= 0 &&
        static_cast<uint32_t>(TickNow() - lastProgressTick) >= static_cast<uint32_t>(bound.stallLimitMs)) {
      return TransferResult::Failed;
    }
  }
  return result;
}

TransferResult SendSome(const uint8_t* bytes, size_t length, NetSocket* socket, size_t& sent) {
  sent = 0;
  if (!Usable(socket)) return TransferResult::Failed;
  if (length == 0) return TransferResult::Done;
  const IoOutcome outcome = SendNow(socket->Handle(), bytes, length);
  sent = outcome.bytes;
  return ResultOf(outcome.kind);
}

TransferResult ReceiveSome(NetSocket* socket, uint8_t* buffer, size_t capacity, size_t& received) {
  received = 0;
  if (!Usable(socket)) return TransferResult::Failed;
  const IoOutcome outcome = ReceiveNow(socket->Handle(), buffer, capacity);
  received = outcome.bytes;
  return ResultOf(outcome.kind);
}

bool WaitReadable(NetSocket* socket, int waitMs, WakeSignal* wake) {
  if (!Usable(socket)) return false;
  const WaitOutcome outcome = WaitForSocket(socket->Handle(), Readiness::Read, waitMs, wake);
  return outcome == WaitOutcome::Ready || outcome == WaitOutcome::Failed;  // a failure is read as the socket's end
}

TransferResult ReceiveChunk(NetSocket* socket, std::unique_ptr<DataChunk>& chunk, int waitMs, WakeSignal* wake) {
  chunk.reset();
  if (!Usable(socket)) return TransferResult::Failed;
  switch (WaitForSocket(socket->Handle(), Readiness::Read, waitMs, wake)) {
    case WaitOutcome::Ready:
      break;
    case WaitOutcome::Failed:
      return TransferResult::Failed;
    case WaitOutcome::Woken:
    case WaitOutcome::TimedOut:
      return TransferResult::Idle;
  }
  uint8_t buffer[kChunkMaxBytes];
  const IoOutcome outcome = ReceiveNow(socket->Handle(), buffer, sizeof buffer);
  if (outcome.kind == IoOutcome::Kind::Done) {
    chunk = std::make_unique<DataChunk>();
    chunk->bytes.assign(buffer, buffer + outcome.bytes);
  }
  return ResultOf(outcome.kind);
}

}  // namespace veltor
