#include "tests/support/FakeServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/Deadline.h"
#include "tests/support/Loopback.h"

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
  listenFd_ = OpenLoopbackListener(port, kListenBacklog, port_);
  return listenFd_ >= 0;
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

void FakeServer::SetReceiveBuffer(int bytes) {
  if (listenFd_ >= 0) ::setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

bool FakeServer::WaitUntilSent(std::chrono::milliseconds timeout) {
  const Deadline deadline(timeout);
  for (;;) {
    int unsent = -1;
    if (!connection_.IsOpen() || ::ioctl(connection_.Fd(), SIOCOUTQ, &unsent) != 0) return false;
    if (unsent == 0) return true;
    if (deadline.Expired()) return false;
    ::poll(nullptr, 0, deadline.PollTimeoutMs(5));
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
