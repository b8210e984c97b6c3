#include "tests/support/FakeServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/Deadline.h"

namespace veltor::testing {

namespace {
constexpr int kListenBacklog = 8;
}  // namespace

FakeServer::~FakeServer() {
  CloseConnection();
  CloseListener();
}

bool FakeServer::Listen(uint16_t port) {
  CloseListener();
  port_ = 0;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;

  // A restarted server must get its old port back at once, although the
  // relay's previous connection may still linger in TIME_WAIT.
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd, kListenBacklog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return false;
  }
  listenFd_ = fd;
  port_ = ntohs(address.sin_port);
  return true;
}

bool FakeServer::AcceptConnection(std::chrono::milliseconds timeout) {
  if (listenFd_ < 0) return false;
  const Deadline deadline(timeout);
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      connection_.Adopt(fd);
      return true;
    }
    // ECONNABORTED: a relay that gave up before we accepted; wait for the next.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      return false;
    }
    if (deadline.Expired()) return false;
    pollfd pending{listenFd_, POLLIN, 0};
    ::poll(&pending, 1, deadline.PollTimeoutMs());
  }
}

bool FakeServer::Send(std::string_view bytes, std::chrono::milliseconds timeout) {
  return connection_.Send(bytes, timeout);
}

bool FakeServer::ReceiveExactly(size_t n, std::string& out, std::chrono::milliseconds timeout) {
  return connection_.ReadExactly(n, out, timeout);
}

std::string FakeServer::ReceiveFor(std::chrono::milliseconds duration) {
  return connection_.ReadFor(duration);
}

bool FakeServer::WaitForPeerClose(std::chrono::milliseconds timeout) {
  const bool closed = connection_.WaitForClose(timeout);
  connection_.DiscardBuffered();
  return closed;
}

void FakeServer::CloseConnection() { connection_.Close(); }

void FakeServer::CloseListener() {
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
}

}  // namespace veltor::testing
