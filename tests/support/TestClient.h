// A downstream client of the relay, played by the test.
//
// Connects to the relay's listen port on 127.0.0.1, reads what the relay
// sends (greeting frames, then server data) and can talk back or hang up in
// the ways real clients do: an orderly close or a reset.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/support/Loopback.h"
#include "tests/support/StreamConnection.h"

namespace veltor::testing {

// Single-threaded: use one TestClient from one thread. Received bytes are
// kept in one buffer in arrival order; every read consumes from its front, so
// nothing is lost or reordered between calls.
class TestClient {
 public:
  TestClient() = default;
  ~TestClient();  // closes the socket

  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  // Connects to 127.0.0.1:`port`, or as SetEnds says (closing any previous
  // connection and its buffer). True once the TCP handshake completes: the relay may not have
  // accepted or judged the client yet. False if refused or timed out.
  bool Connect(uint16_t port, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

  // SO_RCVBUF for the socket. Call before Connect for it to shape the TCP
  // window (a small one makes a slow client); later calls apply at once too.
  void SetReceiveBuffer(int bytes);
  // The smallest window and segments (see kSmallWindowBufferBytes), from the
  // next Connect on: a client that reads slowly or not at all then really
  // makes the relay wait and queue, even over loopback.
  void SetSmallWindow();
  // The addresses of the next Connect, instead of 127.0.0.1 to 127.0.0.1.
  void SetEnds(LoopbackEnds ends) { ends_ = ends; }

  // Exactly `n` bytes, oldest first; on false nothing is consumed. Fails
  // early if the relay closes the connection first.
  bool ReadExactly(size_t n, std::string& out, std::chrono::milliseconds timeout);
  // Everything buffered plus what arrives within `duration` (earlier if the
  // relay closes); consumes it.
  std::string ReadFor(std::chrono::milliseconds duration);
  // True once the relay has closed or reset the connection. Bytes read
  // meanwhile stay buffered for TakeBuffered (or the next read).
  bool WaitForClose(std::chrono::milliseconds timeout);
  // The buffered bytes, without reading the socket; clears the buffer.
  std::string TakeBuffered();

  // All of `bytes` to the relay, or false.
  bool Send(std::string_view bytes,
            std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

  // Orderly close (FIN). Idempotent.
  void Close();
  // Ends this side's sending only (shutdown SHUT_WR): the relay sees the end
  // of the client's stream while the client can still read.
  void HalfClose();
  // Abortive close: the relay sees an RST.
  void Reset();

  bool IsConnected() const { return connection_.IsOpen() && !connection_.PeerClosed(); }
  // True once a read has seen the relay close or reset the connection.
  bool PeerClosed() const { return connection_.PeerClosed(); }
  // This end's port, as the relay sees it; 0 when not connected.
  uint16_t LocalPort() const;

 private:
  int receiveBufferBytes_ = 0;  // 0: the kernel's default
  int maxSegmentBytes_ = 0;     // 0: the kernel's default
  LoopbackEnds ends_;
  StreamConnection connection_;
};

}  // namespace veltor::testing
