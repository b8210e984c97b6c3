// One end of a loopback TCP connection as a test sees it: an owned socket plus
// the bytes received but not yet handed to the test.
//
// Both test peers (the fake upstream server and the downstream test client)
// are built on it, so they read, write and notice a close in the same way.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace veltor::testing {

class Deadline;

class StreamConnection {
 public:
  StreamConnection() = default;
  ~StreamConnection();  // closes the socket

  StreamConnection(const StreamConnection&) = delete;
  StreamConnection& operator=(const StreamConnection&) = delete;

  // Takes ownership of a connected socket (closing any previous one), makes it
  // non-blocking and starts with an empty buffer.
  void Adopt(int fd);

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // True once a receive has seen end of file or a reset from the peer.
  bool PeerClosed() const { return peerClosed_; }
  // True when the peer's close was an RST rather than an orderly FIN.
  bool PeerReset() const { return peerReset_; }

  // Sends all of `bytes` or returns false (time-out, closed, error). On false
  // an unknown prefix may already have been sent.
  bool Send(std::string_view bytes, std::chrono::milliseconds timeout);

  // Moves exactly `n` bytes, oldest first, into `out` (replacing its
  // contents). On false nothing is consumed: the bytes stay buffered for the
  // next call. Fails early when the peer closes before `n` bytes arrived.
  bool ReadExactly(size_t n, std::string& out, std::chrono::milliseconds timeout);

  // Everything buffered plus everything that arrives within `duration`;
  // returns early if the peer closes. Consumes it all.
  std::string ReadFor(std::chrono::milliseconds duration);

  // True once the peer has closed or reset the connection. Data arriving
  // meanwhile is kept in the buffer (see TakeBuffered).
  bool WaitForClose(std::chrono::milliseconds timeout);

  // Hands out and clears the buffered bytes without reading the socket.
  std::string TakeBuffered();
  void DiscardBuffered() { buffer_.clear(); }

  // Orderly close (FIN). The buffer is kept. Idempotent.
  void Close();
  // Abortive close: SO_LINGER {1, 0} makes close() send an RST.
  void Reset();

 private:
  enum class Fill { Data, Closed, TimedOut };
  // Waits (until `deadline`) for one receive and appends what it brings.
  // Closed covers both a peer close (peerClosed_ set) and our own end being
  // closed already (peerClosed_ unchanged).
  Fill FillOnce(const Deadline& deadline);

  int fd_ = -1;
  std::string buffer_;
  bool peerClosed_ = false;
  bool peerReset_ = false;
};

}  // namespace veltor::testing
