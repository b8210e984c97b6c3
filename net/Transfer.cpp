#include "net/Transfer.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace veltor {

namespace {

bool Usable(const NetSocket* socket) { return socket != nullptr && socket->Valid(); }

}  // namespace

TransferResult ClassifyReceive(ssize_t received, int error) {
  if (received > 0) return TransferResult::Done;
  if (received == 0) return TransferResult::Failed;  // the peer closed its side
  if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) return TransferResult::Idle;
  return TransferResult::Failed;
}

TransferResult SendAll(const uint8_t* bytes, size_t length, NetSocket* socket, const SendBound& bound) {
  if (!Usable(socket)) return TransferResult::Failed;
  if (length == 0) return TransferResult::Done;

  using Clock = std::chrono::steady_clock;
  TransferResult result = TransferResult::Done;
  Clock::time_point lastProgress = Clock::now();
  const bool wakeable = bound.wake != nullptr && bound.wake->Handle() >= 0;
  while (length > 0) {
    const ssize_t sent = ::send(socket->Handle(), bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      bytes += sent;
      length -= static_cast<size_t>(sent);
      lastProgress = Clock::now();
      continue;
    }
    if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return TransferResult::Failed;
    if (sent < 0 && errno == EINTR) continue;

    // Full: wait for room, or for the wake signal when there is one, which
    // makes a stop or a cut-off reach a worker held here at once.
    result = TransferResult::Idle;
    pollfd entries[2] = {{socket->Handle(), POLLOUT, 0}, {wakeable ? bound.wake->Handle() : -1, POLLIN, 0}};
    const int ready = ::poll(entries, wakeable ? 2 : 1, wakeable ? kWorkerIdleWaitMs : kSendWaitMs);
    if (ready < 0 && errno != EINTR) return TransferResult::Failed;
    if (ready > 0 && (entries[0].revents & POLLNVAL) != 0) return TransferResult::Failed;
    if (wakeable && (entries[1].revents & POLLIN) != 0) bound.wake->Drain();
    if ((entries[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) continue;  // room, or a send that will fail
    if (bound.giveUp && bound.giveUp()) return TransferResult::Failed;
    if (bound.stallLimitMs >= 0 && Clock::now() - lastProgress >= std::chrono::milliseconds(bound.stallLimitMs)) {
      return TransferResult::Failed;
    }
  }
  return result;
}

TransferResult SendSome(const uint8_t* bytes, size_t length, NetSocket* socket, size_t& sent) {
  sent = 0;
  if (!Usable(socket)) return TransferResult::Failed;
  if (length == 0) return TransferResult::Done;
  for (;;) {
    const ssize_t taken = ::send(socket->Handle(), bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (taken > 0) {
      sent = static_cast<size_t>(taken);
      return TransferResult::Done;
    }
    if (taken < 0 && errno == EINTR) continue;
    if (taken < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return TransferResult::Idle;
    return TransferResult::Failed;
  }
}

TransferResult ReceiveSome(NetSocket* socket, uint8_t* buffer, size_t capacity, size_t& received) {
  received = 0;
  if (!Usable(socket)) return TransferResult::Failed;
  const ssize_t got = ::recv(socket->Handle(), buffer, capacity, MSG_DONTWAIT);
  const TransferResult result = ClassifyReceive(got, errno);
  if (result == TransferResult::Done) received = static_cast<size_t>(got);
  return result;
}

bool WaitReadable(NetSocket* socket, int waitMs, WakeSignal* wake) {
  if (!Usable(socket)) return false;
  const bool wakeable = wake != nullptr && wake->Handle() >= 0;
  pollfd entries[2] = {{socket->Handle(), POLLIN, 0}, {wakeable ? wake->Handle() : -1, POLLIN, 0}};
  const int ready = ::poll(entries, wakeable ? 2 : 1, waitMs);
  if (ready <= 0) return false;
  if (wakeable && (entries[1].revents & POLLIN) != 0) {
    wake->Drain();
    return false;
  }
  return entries[0].revents != 0;
}

TransferResult ReceiveChunk(NetSocket* socket, std::unique_ptr<DataChunk>& chunk, int waitMs, WakeSignal* wake) {
  chunk.reset();
  if (!Usable(socket)) return TransferResult::Failed;

  pollfd entries[2] = {{socket->Handle(), POLLIN, 0}, {wake != nullptr ? wake->Handle() : -1, POLLIN, 0}};
  const nfds_t count = (wake != nullptr && wake->Handle() >= 0) ? 2 : 1;
  const int ready = ::poll(entries, count, waitMs);
  if (ready < 0) return errno == EINTR ? TransferResult::Idle : TransferResult::Failed;
  if (count == 2 && (entries[1].revents & POLLIN) != 0) wake->Drain();
  if (ready == 0 || entries[0].revents == 0) return TransferResult::Idle;
  if ((entries[0].revents & POLLNVAL) != 0) return TransferResult::Failed;

  uint8_t buffer[kChunkMaxBytes];
  const ssize_t received = ::recv(socket->Handle(), buffer, sizeof buffer, 0);
  const TransferResult result = ClassifyReceive(received, errno);
  if (result == TransferResult::Done) {
    chunk = std::make_unique<DataChunk>();
    chunk->bytes.assign(buffer, buffer + received);
  }
  return result;
}

}  // namespace veltor
