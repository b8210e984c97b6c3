#include "tests/support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace veltor::testing {

namespace {

sockaddr_in LoopbackAt(uint16_t port, uint32_t host = kLoopbackAddress) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(host);
  address.sin_port = htons(port);
  return address;
}

// After a call that moved nothing: waits for `events` and says whether to try
// again, false once the call failed for good or `deadline` has passed. With
// MSG_DONTWAIT on every call the loops work on blocking descriptors as well.
bool WaitToRetry(int fd, short events, ssize_t result, const Deadline& deadline) {
  if (result < 0 && errno == EINTR) return true;
  if (result < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
  if (deadline.Expired()) return false;
  pollfd entry{fd, events, 0};
  ::poll(&entry, 1, deadline.PollTimeoutMs());
  return true;
}

}  // namespace

void ResetAndClose(int fd) {
  if (fd < 0) return;
  const linger abortive{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  ::close(fd);
}

uint16_t BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

void OwnedFd::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

uint16_t FindFreePort() {
  // Never listened on, so the port leaves no TIME_WAIT entry behind and the
  // relay can bind it immediately.
  const OwnedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = LoopbackAt(0);
  if (fd.get() < 0 || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return 0;
  return BoundPort(fd.get());
}

int HoldFreePort(uint16_t& port) {
  OwnedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return -1;
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = LoopbackAt(0);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return -1;
  port = BoundPort(fd.get());
  return port == 0 ? -1 : fd.Release();
}

int OpenLoopbackListener(uint16_t port, int backlog, uint16_t& boundPort) {
  OwnedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) return -1;
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in address = LoopbackAt(port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), backlog) != 0) {
    return -1;
  }
  boundPort = BoundPort(fd.get());
  return boundPort == 0 ? -1 : fd.Release();
}

int StartLoopbackConnect(uint16_t port, int receiveBuffer, bool& connected, int maxSegment, LoopbackEnds ends) {
  OwnedFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) return -1;
  if (receiveBuffer > 0) ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  if (maxSegment > 0) ::setsockopt(fd.get(), IPPROTO_TCP, TCP_MAXSEG, &maxSegment, sizeof maxSegment);
  // Bound only when asked: a bind before the connect takes its port from a smaller range.
  if (ends.local != 0) {
    const sockaddr_in local = LoopbackAt(0, ends.local);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return -1;
  }
  const sockaddr_in address = LoopbackAt(port, ends.remote);
  connected = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (!connected && errno != EINPROGRESS && errno != EINTR) return -1;
  return fd.Release();
}

int ConnectLoopback(uint16_t port, std::chrono::milliseconds cap, int receiveBuffer, int maxSegment,
                    LoopbackEnds ends) {
  bool connected = false;
  OwnedFd fd(StartLoopbackConnect(port, receiveBuffer, connected, maxSegment, ends));
  if (fd.get() < 0 || connected) return fd.Release();
  // Under way: writable once it has ended, then SO_ERROR tells how.
  const Deadline deadline(cap);
  pollfd entry{fd.get(), POLLOUT, 0};
  int ready = 0;
  do {
    ready = ::poll(&entry, 1, deadline.PollTimeoutMs());
  } while (ready < 0 && errno == EINTR && !deadline.Expired());
  int error = 0;
  socklen_t length = sizeof error;
  if (ready <= 0 || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return -1;
  return fd.Release();
}

bool Readable(int fd, std::chrono::milliseconds wait) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(wait.count())) > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

std::string ReadExactly(int fd, size_t n, std::chrono::milliseconds cap) {
  const Deadline deadline(cap);
  std::string got;
  char buffer[4096];
  while (got.size() < n) {
    const ssize_t r = ::recv(fd, buffer, std::min(sizeof buffer, n - got.size()), MSG_DONTWAIT);
    if (r > 0) {
      got.append(buffer, static_cast<size_t>(r));
    } else if (r == 0 || !WaitToRetry(fd, POLLIN, r, deadline)) {
      break;
    }
  }
  return got;
}

bool SendFromPeer(int fd, std::string_view bytes, std::chrono::milliseconds cap) {
  const Deadline deadline(cap);
  while (!bytes.empty()) {
    const ssize_t w = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      bytes.remove_prefix(static_cast<size_t>(w));
    } else if (!WaitToRetry(fd, POLLOUT, w, deadline)) {
      return false;
    }
  }
  return true;
}

size_t SendSome(int fd, const uint8_t* bytes, size_t length) {
  const ssize_t sent = ::send(fd, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  return sent > 0 ? static_cast<size_t>(sent) : 0;
}

bool WaitForEof(int fd, std::chrono::milliseconds cap) {
  const Deadline deadline(cap);
  char buffer[65536];
  for (;;) {
    const ssize_t r = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (r == 0) return true;
    if (r > 0) continue;
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return true;  // a reset ends it as well
    if (!WaitToRetry(fd, POLLIN, r, deadline)) return false;
  }
}

int Pending(int fd) {
  int count = -1;
  if (::ioctl(fd, FIONREAD, &count) != 0) return -1;
  return count;
}

}  // namespace veltor::testing
