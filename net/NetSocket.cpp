#include "net/NetSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace veltor {

namespace {

void CopyTerminated(const char* source, char* target, size_t targetSize) {
  if (target == nullptr || targetSize == 0) return;
  std::strncpy(target, source, targetSize - 1);
  target[targetSize - 1] = '\0';
}

}  // namespace

std::unique_ptr<NetSocket> NetSocket::Create(int type) {
  return std::make_unique<NetSocket>(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
}

NetSocket::~NetSocket() {
  if (handle_ != kInvalidHandle) ::close(handle_);
}

bool NetSocket::Connect(const std::string& host, uint16_t port, int timeoutMs) {
  if (!Valid()) return false;
  const uint32_t address = ResolveHost(host);
  if (address == INADDR_NONE) return false;

  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(port);
  target.sin_addr.s_addr = address;

  // A blocking connect to a host that never answers can hold the caller for
  // minutes; connect without blocking and wait a bounded time instead.
  if (!SetNonBlocking()) return false;
  if (::connect(handle_, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;

  // A signal must not restart the wait: the bound holds for the whole connect.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  pollfd entry{handle_, POLLOUT, 0};
  int ready = 0;
  do {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    ready = ::poll(&entry, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(handle_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  return error == 0;
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

uint32_t ResolveHost(const std::string& name) {
  in_addr dotted{};
  if (::inet_pton(AF_INET, name.c_str(), &dotted) == 1 && dotted.s_addr != INADDR_NONE) return dotted.s_addr;

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* answer = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &answer) != 0 || answer == nullptr) return INADDR_NONE;
  const uint32_t address = reinterpret_cast<const sockaddr_in*>(answer->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(answer);
  return address;
}

bool GetPeerInfo(const sockaddr_in& peer, uint16_t* port, uint32_t* address, char* dottedText, size_t dottedSize,
                 char* hostName, size_t hostSize) {
  if (port != nullptr) *port = ntohs(peer.sin_port);
  if (address != nullptr) *address = peer.sin_addr.s_addr;
  if (dottedText != nullptr && dottedSize > 0) {
    char text[INET_ADDRSTRLEN] = "";
    if (::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) == nullptr) text[0] = '\0';
    CopyTerminated(text, dottedText, dottedSize);
  }
  if (hostName != nullptr && hostSize > 0) {
    char name[NI_MAXHOST] = "";
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer, name, sizeof name, nullptr, 0,
                      NI_NAMEREQD) != 0) {
      name[0] = '\0';
    }
    CopyTerminated(name, hostName, hostSize);
  }
  return true;
}

}  // namespace veltor
