#include "net/Transfer.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace veltor {

namespace {

bool Usable(const NetSocket* socket) { return socket != nullptr && socket->Valid(); }

// poll() on one descriptor; an interrupted wait counts as a time-out.
int WaitFor(int fd, short events, int waitMs, short& revents) {
  pollfd entry{fd, events, 0};
  const int ready = ::poll(&entry, 1, waitMs);
  revents = entry.revents;
  if (ready < 0 && errno == EINTR) return 0;
  if (ready > 0 && (entry.revents & POLLNVAL) != 0) return -1;
  return ready;
}

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
  while (length > 0) {
    short revents = 0;
    const int ready = WaitFor(socket->Handle(), POLLOUT, kSendWaitMs, revents);
    if (ready < 0) return TransferResult::Failed;
    if (ready == 0) {
      result = TransferResult::Idle;
      if (bound.giveUp && bound.giveUp()) return TransferResult::Failed;
      if (bound.stallLimitMs >= 0 &&
          Clock::now() - lastProgress >= std::chrono::milliseconds(bound.stallLimitMs)) {
        return TransferResult::Failed;
      }
      continue;
    }
    const ssize_t sent = ::send(socket->Handle(), bytes, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return TransferResult::Failed;
    bytes += sent;
    length -= static_cast<size_t>(sent);
    lastProgress = Clock::now();
  }
  return result;
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
