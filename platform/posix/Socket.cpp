#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace veltor {

namespace {

sockaddr_in Ipv4Address(uint32_t networkAddress, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = networkAddress;
  return address;
}

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

}  // namespace

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

bool BindAnyAddress(SocketHandle socket, uint16_t port) {
  const sockaddr_in local = Ipv4Address(htonl(INADDR_ANY), port);
  return ::bind(socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool StartListening(SocketHandle socket, int backlog) { return ::listen(socket, backlog) == 0; }

SocketHandle AcceptConnection(SocketHandle listenSocket) {
  const int accepted = ::accept4(listenSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  return accepted < 0 ? kNoSocket : accepted;
}

bool StartConnect(SocketHandle socket, uint32_t networkAddress, uint16_t port) {
  const sockaddr_in target = Ipv4Address(networkAddress, port);
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) return true;
  return errno == EINPROGRESS || errno == EINTR;
}

ConnectProgress AwaitConnect(SocketHandle socket, int waitMs) {
  pollfd entry{socket, POLLOUT, 0};
  const int ready = ::poll(&entry, 1, waitMs);
  if (ready < 0) return errno == EINTR ? ConnectProgress::Pending : ConnectProgress::Failed;
  if (ready == 0) return ConnectProgress::Pending;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return ConnectProgress::Failed;
  return ConnectProgress::Connected;
}

IoOutcome SendNow(SocketHandle socket, const uint8_t* bytes, size_t length) {
  const ssize_t sent = ::send(socket, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent > 0) return {IoOutcome::Kind::Moved, static_cast<size_t>(sent)};
  if (sent < 0 && WouldBlock(errno)) return {IoOutcome::Kind::WouldBlock, 0};
  return {IoOutcome::Kind::Failed, 0};
}

IoOutcome ReceiveNow(SocketHandle socket, uint8_t* buffer, size_t capacity) {
  const ssize_t received = ::recv(socket, buffer, capacity, MSG_DONTWAIT);
  return SortReceiveResult(received, errno);
}

IoOutcome SortReceiveResult(long long result, int error) {
  if (result > 0) return {IoOutcome::Kind::Moved, static_cast<size_t>(result)};
  if (result == 0) return {IoOutcome::Kind::Closed, 0};
  if (WouldBlock(error)) return {IoOutcome::Kind::WouldBlock, 0};
  return {IoOutcome::Kind::Failed, 0};
}

bool ReadPeerAddress(SocketHandle socket, uint32_t& address) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET) {
    return false;
  }
  address = ntohl(peer.sin_addr.s_addr);
  return true;
}

uint32_t ParseDottedAddress(const std::string& text) {
  in_addr dotted{};
  if (::inet_pton(AF_INET, text.c_str(), &dotted) != 1) return INADDR_NONE;
  return dotted.s_addr;
}

}  // namespace veltor
