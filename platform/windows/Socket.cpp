#include "platform/Socket.h"

#include <climits>

#include "platform/windows/Winsock.h"

namespace veltor {

namespace {

sockaddr_in Ipv4Address(uint32_t networkAddress, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = networkAddress;
  return address;
}

bool WouldBlock(int error) { return error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAEINPROGRESS; }

int ClampLength(size_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

// A child process started by the relay (none today) must not keep a client's
// connection open.
void KeepFromChildren(SOCKET socket) {
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

bool EnsureWinsockStarted() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SocketHandle OpenStreamSocket() {
  if (!EnsureWinsockStarted()) return kNoSocket;
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

bool BindAnyAddress(SocketHandle socket, uint16_t port) {
  const sockaddr_in local = Ipv4Address(htonl(INADDR_ANY), port);
  return bind(Native(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool StartListening(SocketHandle socket, int backlog) { return listen(Native(socket), backlog) == 0; }

SocketHandle AcceptConnection(SocketHandle listenSocket) {
  const SOCKET accepted = accept(Native(listenSocket), nullptr, nullptr);
  if (accepted == INVALID_SOCKET) return kNoSocket;
  KeepFromChildren(accepted);
  const SocketHandle handle = static_cast<SocketHandle>(accepted);
  if (!SetNonBlocking(handle)) {
    closesocket(accepted);
    return kNoSocket;
  }
  return handle;
}

bool StartConnect(SocketHandle socket, uint32_t networkAddress, uint16_t port) {
  const sockaddr_in target = Ipv4Address(networkAddress, port);
  if (connect(Native(socket), reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) return true;
  return WouldBlock(WSAGetLastError());
}

ConnectProgress AwaitConnect(SocketHandle socket, int waitMs) {
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
  if (ready == SOCKET_ERROR) return WSAGetLastError() == WSAEINTR ? ConnectProgress::Pending : ConnectProgress::Failed;
  if (ready == 0) return ConnectProgress::Pending;
  if (FD_ISSET(Native(socket), &failed)) return ConnectProgress::Failed;
  int error = 0;
  int length = sizeof error;
  if (getsockopt(Native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error != 0) {
    return ConnectProgress::Failed;
  }
  return ConnectProgress::Connected;
}

IoOutcome SendNow(SocketHandle socket, const uint8_t* bytes, size_t length) {
  // A broken connection fails the call (10053/10054); Windows raises no signal.
  const int sent = send(Native(socket), reinterpret_cast<const char*>(bytes), ClampLength(length), 0);
  if (sent > 0) return {IoOutcome::Kind::Moved, static_cast<size_t>(sent)};
  if (sent == SOCKET_ERROR && WouldBlock(WSAGetLastError())) return {IoOutcome::Kind::WouldBlock, 0};
  return {IoOutcome::Kind::Failed, 0};
}

IoOutcome ReceiveNow(SocketHandle socket, uint8_t* buffer, size_t capacity) {
  const int received = recv(Native(socket), reinterpret_cast<char*>(buffer), ClampLength(capacity), 0);
  return SortReceiveResult(received, received == SOCKET_ERROR ? WSAGetLastError() : 0);
}

IoOutcome SortReceiveResult(long long result, int error) {
  if (result > 0) return {IoOutcome::Kind::Moved, static_cast<size_t>(result)};
  if (result == 0) return {IoOutcome::Kind::Closed, 0};
  if (WouldBlock(error)) return {IoOutcome::Kind::WouldBlock, 0};
  return {IoOutcome::Kind::Failed, 0};
}

bool ReadPeerAddress(SocketHandle socket, uint32_t& address) {
  sockaddr_in peer{};
  int length = sizeof peer;
  if (getpeername(Native(socket), reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET) {
    return false;
  }
  address = ntohl(peer.sin_addr.s_addr);
  return true;
}

uint32_t ParseDottedAddress(const std::string& text) {
  in_addr dotted{};
  if (inet_pton(AF_INET, text.c_str(), &dotted) != 1) return INADDR_NONE;
  return dotted.s_addr;
}

}  // namespace veltor
