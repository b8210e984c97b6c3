#include "net/NetSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace veltor {

std::unique_ptr<NetSocket> NetSocket::Create(int type) {
  return std::make_unique<NetSocket>(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
}

NetSocket::~NetSocket() {
  if (handle_ != kInvalidHandle) ::close(handle_);
}

bool NetSocket::StartConnect(uint32_t networkAddress, uint16_t port) {
  if (!Valid() || !SetNonBlocking()) return false;
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = networkAddress;
  if (::connect(handle_, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) return true;
  return errno == EINPROGRESS || errno == EINTR;
}

NetSocket::ConnectState NetSocket::FinishConnect(int waitMs) {
  if (!Valid()) return ConnectState::Failed;
  pollfd entry{handle_, POLLOUT, 0};
  const int ready = ::poll(&entry, 1, waitMs);
  if (ready < 0) return errno == EINTR ? ConnectState::Pending : ConnectState::Failed;
  if (ready == 0) return ConnectState::Pending;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(handle_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return ConnectState::Failed;
  return ConnectState::Connected;
}

bool NetSocket::Bind(uint16_t port) {
  if (!Valid()) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  return ::bind(handle_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool NetSocket::SetReuseAddress() {
  const int on = 1;
  return Valid() && ::setsockopt(handle_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool NetSocket::Listen(int backlog) { return Valid() && ::listen(handle_, backlog) == 0; }

std::unique_ptr<NetSocket> NetSocket::Accept() {
  if (!Valid()) return nullptr;
  const int accepted = ::accept4(handle_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (accepted < 0) return nullptr;
  return std::make_unique<NetSocket>(accepted);
}

bool NetSocket::SetNonBlocking() {
  if (!Valid()) return false;
  const int flags = ::fcntl(handle_, F_GETFL, 0);
  return flags >= 0 && ::fcntl(handle_, F_SETFL, flags | O_NONBLOCK) == 0;
}

uint32_t ParseDottedAddress(const std::string& name) {
  in_addr dotted{};
  if (::inet_pton(AF_INET, name.c_str(), &dotted) != 1) return INADDR_NONE;
  return dotted.s_addr;
}

bool PeerAddress(const NetSocket& socket, uint32_t& address) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (!socket.Valid() || ::getpeername(socket.Handle(), reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      peer.sin_family != AF_INET) {
    return false;
  }
  address = ntohl(peer.sin_addr.s_addr);
  return true;
}

}  // namespace veltor
