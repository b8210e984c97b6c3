#include "tests/support/TestClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/Deadline.h"

namespace veltor::testing {

TestClient::~TestClient() { connection_.Close(); }

bool TestClient::Connect(uint16_t port, std::chrono::milliseconds timeout) {
  connection_.Close();
  connection_.DiscardBuffered();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  // The receive window is negotiated during the handshake, so the buffer size
  // must be in place before connect() to take full effect.
  if (receiveBufferBytes_ > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes_, sizeof(receiveBufferBytes_));
  }

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  if (rc != 0 && errno != EINPROGRESS && errno != EINTR) {
    ::close(fd);
    return false;
  }
  if (rc != 0) {
    // Non-blocking connect: wait for writability, then ask how it ended.
    const Deadline deadline(timeout);
    pollfd writable{fd, POLLOUT, 0};
    do {
      rc = ::poll(&writable, 1, deadline.PollTimeoutMs());
    } while (rc < 0 && errno == EINTR && !deadline.Expired());
    int error = 0;
    socklen_t length = sizeof(error);
    if (rc <= 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      ::close(fd);
      return false;
    }
  }
  connection_.Adopt(fd);
  return true;
}

void TestClient::SetReceiveBuffer(int bytes) {
  receiveBufferBytes_ = bytes;
  if (connection_.IsOpen()) {
    ::setsockopt(connection_.Fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
  }
}

bool TestClient::ReadExactly(size_t n, std::string& out, std::chrono::milliseconds timeout) {
  return connection_.ReadExactly(n, out, timeout);
}

std::string TestClient::ReadFor(std::chrono::milliseconds duration) {
  return connection_.ReadFor(duration);
}

bool TestClient::WaitForClose(std::chrono::milliseconds timeout) {
  return connection_.WaitForClose(timeout);
}

std::string TestClient::TakeBuffered() { return connection_.TakeBuffered(); }

bool TestClient::Send(std::string_view bytes, std::chrono::milliseconds timeout) {
  return connection_.Send(bytes, timeout);
}

void TestClient::Close() { connection_.Close(); }

void TestClient::Reset() { connection_.Reset(); }

uint16_t TestClient::LocalPort() const {
  if (!connection_.IsOpen()) return 0;
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  if (::getsockname(connection_.Fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

}  // namespace veltor::testing
