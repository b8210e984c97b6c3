#include "platform/Socket.h"

#include <climits>

#include "platform/SystemSockets.h"

namespace veltor {

namespace {

int ClampLength(size_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

// A child process started by the relay (none today) must not keep a client's
// connection open.
void KeepFromChildren(SOCKET socket) {
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

bool EnsureSocketsStarted() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

int LastSocketError() { return WSAGetLastError(); }

bool IsRetryableError(int error) { return error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAEINPROGRESS; }

SocketHandle OpenStreamSocket() {
  if (!EnsureSocketsStarted()) return kNoSocket;
  const SOCKET opened = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  return opened == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(opened);
}

void CloseSocket(SocketHandle socket) {
  if (socket != kNoSocket) closesocket(Native(socket));
}

bool SetNonBlocking(SocketHandle socket) {
  u_long on = 1;
  return ioctlsocket(Native(socket), FIONBIO, &on) == 0;
}

bool AllowPortReuse(SocketHandle socket) {
  // On Windows SO_REUSEADDR would let a second relay take over a port that is
  // in use; exclusive use keeps it ours, and a port whose old connections
  // linger can still be bound again.
  const BOOL on = TRUE;
  return setsockopt(Native(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                    sizeof on) == 0;
}

IoOutcome AcceptConnection(SocketHandle listenSocket, SocketHandle& accepted) {
  accepted = kNoSocket;
  const SOCKET socket = accept(Native(listenSocket), nullptr, nullptr);
  if (socket == INVALID_SOCKET) return SortFailedCall(WSAGetLastError());
  KeepFromChildren(socket);
  if (!SetNonBlocking(static_cast<SocketHandle>(socket))) {
    const int error = WSAGetLastError();
    closesocket(socket);
    return {IoOutcome::Kind::Failed, 0, error};
  }
  accepted = static_cast<SocketHandle>(socket);
  return {IoOutcome::Kind::Done, 0, 0};
}

IoOutcome StartConnect(SocketHandle socket, uint32_t networkAddress, uint16_t port) {
  const sockaddr_in target = Ipv4Address(networkAddress, port);
  if (connect(Native(socket), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
    return {IoOutcome::Kind::Done, 0, 0};
  }
  return SortFailedCall(WSAGetLastError());  // WSAEWOULDBLOCK: the handshake is under way
}

IoOutcome AwaitConnect(SocketHandle socket, int waitMs) {
  // select, not WSAPoll: WSAPoll on older Windows never reports a refused
  // connect. A refusal shows in the error set.
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(Native(socket), &writable);
  FD_SET(Native(socket), &failed);
  timeval wait{waitMs / 1000, (waitMs % 1000) * 1000};
  const int ready = select(0, nullptr, &writable, &failed, &wait);
  if (ready == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    return {error == WSAEINTR ? IoOutcome::Kind::WouldBlock : IoOutcome::Kind::Failed, 0, error};
  }
  if (ready == 0) return {IoOutcome::Kind::WouldBlock, 0, 0};
  if (FD_ISSET(Native(socket), &failed)) return {IoOutcome::Kind::Failed, 0, ConnectOutcome(socket).error};
  return ConnectOutcome(socket);
}

IoOutcome SendNow(SocketHandle socket, const uint8_t* bytes, size_t length) {
  // A broken connection fails the call (10053/10054); Windows raises no signal.
  const int sent = send(Native(socket), reinterpret_cast<const char*>(bytes), ClampLength(length), 0);
  return SortSendResult(sent, sent == SOCKET_ERROR ? WSAGetLastError() : 0);
}

IoOutcome ReceiveNow(SocketHandle socket, uint8_t* buffer, size_t capacity) {
  const int received = recv(Native(socket), reinterpret_cast<char*>(buffer), ClampLength(capacity), 0);
  return SortReceiveResult(received, received == SOCKET_ERROR ? WSAGetLastError() : 0);
}

}  // namespace veltor
