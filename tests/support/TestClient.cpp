#include "tests/support/TestClient.h"

#include <sys/socket.h>

#include "tests/support/Loopback.h"

namespace veltor::testing {

TestClient::~TestClient() { connection_.Close(); }

bool TestClient::Connect(uint16_t port, std::chrono::milliseconds timeout) {
  connection_.Close();
  connection_.DiscardBuffered();
  const int fd = ConnectLoopback(port, timeout, receiveBufferBytes_, maxSegmentBytes_, ends_);
  if (fd < 0) return false;
  connection_.Adopt(fd);
  return true;
}

void TestClient::SetReceiveBuffer(int bytes) {
  receiveBufferBytes_ = bytes;
  if (connection_.IsOpen()) {
    ::setsockopt(connection_.Fd(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
  }
}

void TestClient::SetSmallWindow() {
  receiveBufferBytes_ = kSmallWindowBufferBytes;
  maxSegmentBytes_ = kSmallestSegmentBytes;
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

void TestClient::HalfClose() {
  if (connection_.IsOpen()) ::shutdown(connection_.Fd(), SHUT_WR);
}

uint16_t TestClient::LocalPort() const { return connection_.IsOpen() ? BoundPort(connection_.Fd()) : 0; }

}  // namespace veltor::testing
