// The upstream server that the relay connects to, played by the test.
//
// It listens on 127.0.0.1, accepts the relay's connection and lets the test
// push bytes down to the relay and check what the relay forwards up.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/support/StreamConnection.h"

namespace veltor::testing {

// Single-threaded: use one FakeServer from one thread.
class FakeServer {
 public:
  FakeServer() = default;
  ~FakeServer();  // closes the connection and the listener

  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  // Listens on 127.0.0.1:`port` with SO_REUSEADDR (closing any previous
  // listener). Port 0 lets the kernel pick; a fixed port lets a test restart
  // the server where the relay expects it. False if bind or listen fails.
  bool Listen(uint16_t port = 0);
  // The port listened on (kept after CloseListener, for a restart), 0 if none.
  uint16_t Port() const { return port_; }

  // Accepts one connection. On success any previous connection is closed and
  // its unread bytes dropped; on false (time-out, no listener) it is kept.
  bool AcceptConnection(std::chrono::milliseconds timeout);

  // SO_RCVBUF of the listener, inherited by the connections it accepts: a
  // small one makes a server whose window fills at once when it does not read.
  void SetReceiveBuffer(int bytes);

  // All of `bytes` to the relay, or false.
  bool Send(std::string_view bytes,
            std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  // Exactly `n` bytes from the relay, oldest first; on false nothing is
  // consumed. Fails early if the relay closes the connection.
  bool ReceiveExactly(size_t n, std::string& out, std::chrono::milliseconds timeout);
  // Everything that arrives within `duration` (earlier if the relay closes).
  std::string ReceiveFor(std::chrono::milliseconds duration);

  // True once the relay has closed (or reset) the connection; bytes arriving
  // meanwhile are discarded. False on time-out or without a connection.
  bool WaitForPeerClose(std::chrono::milliseconds timeout);

  // True once the relay has acknowledged every byte sent: nothing waits in
  // this side's send queue any more.
  bool WaitUntilSent(std::chrono::milliseconds timeout);

  void CloseConnection();
  void CloseListener();
  // True while a connection is held that has not been seen closing.
  bool HasConnection() const { return connection_.IsOpen() && !connection_.PeerClosed(); }
  // The connection itself, for a server that half-closes or resets it.
  StreamConnection& Connection() { return connection_; }

 private:
  int listenFd_ = -1;
  uint16_t port_ = 0;
  StreamConnection connection_;
};

}  // namespace veltor::testing
