#include "platform/Socket.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SystemSockets.h"

namespace veltor {

bool EnsureSocketsStarted() { return true; }  // nothing to start on Linux

int LastSocketError() { return errno; }

bool IsRetryableError(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

SocketHandle OpenStreamSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

void CloseSocket(SocketHandle socket) {
  if (socket != kNoSocket) ::close(socket);
}

bool SetNonBlocking(SocketHandle socket) {
  const int flags = ::fcntl(socket, F_GETFL, 0);
  return flags >= 0 && ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool AllowPortReuse(SocketHandle socket) {
  // On Linux SO_REUSEADDR only lets a port with lingering old connections be
  // bound again; a port that another socket listens on stays taken.
  const int on = 1;
  return ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

IoOutcome AcceptConnection(SocketHandle listenSocket, SocketHandle& accepted) {
  accepted = ::accept4(listenSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (accepted >= 0) return {IoOutcome::Kind::Done, 0, 0};
  const int error = errno;
  accepted = kNoSocket;
  return SortFailedCall(error);
}

IoOutcome StartConnect(SocketHandle socket, uint32_t networkAddress, uint16_t port) {
  const sockaddr_in target = Ipv4Address(networkAddress, port);
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
    return {IoOutcome::Kind::Done, 0, 0};
  }
  const int error = errno;
  // EINTR: the handshake goes on without the call, as EINPROGRESS.
  const bool underWay = error == EINPROGRESS || error == EINTR;
  return {underWay ? IoOutcome::Kind::WouldBlock : IoOutcome::Kind::Failed, 0, error};
}

IoOutcome AwaitConnect(SocketHandle socket, int waitMs) {
  pollfd entry{socket, POLLOUT, 0};
  const int ready = ::poll(&entry, 1, waitMs);
  if (ready < 0) {
    const int error = errno;
    return {error == EINTR ? IoOutcome::Kind::WouldBlock : IoOutcome::Kind::Failed, 0, error};
  }
  if (ready == 0) return {IoOutcome::Kind::WouldBlock, 0, 0};
  return ConnectOutcome(socket);
}

IoOutcome SendNow(SocketHandle socket, const uint8_t* bytes, size_t length) {
  const ssize_t sent = ::send(socket, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  return SortSendResult(sent, errno);
}

IoOutcome ReceiveNow(SocketHandle socket, uint8_t* buffer, size_t capacity) {
  const ssize_t received = ::recv(socket, buffer, capacity, MSG_DONTWAIT);
  return SortReceiveResult(received, errno);
}

}  // namespace veltor
