#include "tests/support/StreamConnection.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/Loopback.h"

namespace veltor::testing {

namespace {
constexpr size_t kReceiveChunkBytes = 64 * 1024;
}  // namespace

StreamConnection::~StreamConnection() { Close(); }

void StreamConnection::Adopt(int fd) {
  Close();
  fd_ = fd;
  buffer_.clear();
  peerClosed_ = false;
  peerReset_ = false;
  // Non-blocking so that every wait is a poll() with a deadline; a blocking
  // recv or send could hang a test on a relay that stopped talking.
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

bool StreamConnection::Send(std::string_view bytes, std::chrono::milliseconds timeout) {
  return fd_ >= 0 && SendFromPeer(fd_, bytes, timeout);
}

bool StreamConnection::ReadExactly(size_t n, std::string& out, std::chrono::milliseconds timeout) {
  const Deadline deadline(timeout);
  while (buffer_.size() < n) {
    if (FillOnce(deadline) != Fill::Data) return false;
  }
  out.assign(buffer_, 0, n);
  buffer_.erase(0, n);
  return true;
}

std::string StreamConnection::ReadFor(std::chrono::milliseconds duration) {
  const Deadline deadline(duration);
  while (FillOnce(deadline) == Fill::Data) {
  }
  return TakeBuffered();
}

bool StreamConnection::WaitForClose(std::chrono::milliseconds timeout) {
  const Deadline deadline(timeout);
  for (;;) {
    const Fill fill = FillOnce(deadline);
    if (fill == Fill::TimedOut) return false;
    // Closed without peerClosed_ means our own end is closed: nothing to wait for.
    if (fill == Fill::Closed) return peerClosed_;
  }
}

std::string StreamConnection::TakeBuffered() {
  std::string taken;
  taken.swap(buffer_);
  return taken;
}

void StreamConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void StreamConnection::Reset() {
  ResetAndClose(fd_);
  fd_ = -1;
}

StreamConnection::Fill StreamConnection::FillOnce(const Deadline& deadline) {
  if (fd_ < 0 || peerClosed_) return Fill::Closed;
  for (;;) {
    char chunk[kReceiveChunkBytes];
    const ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n > 0) {
      buffer_.append(chunk, static_cast<size_t>(n));
      return Fill::Data;
    }
    if (n == 0) {
      peerClosed_ = true;
      return Fill::Closed;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      // ECONNRESET and friends: the connection is over either way.
      peerClosed_ = true;
      peerReset_ = (errno == ECONNRESET);
      return Fill::Closed;
    }
    if (deadline.Expired()) return Fill::TimedOut;
    pollfd readable{fd_, POLLIN, 0};
    if (::poll(&readable, 1, deadline.PollTimeoutMs()) == 0) return Fill::TimedOut;
  }
}

}  // namespace veltor::testing
