// ServerLink: the relay's own two endpoints, the connection to the upstream
// server and the listen socket for clients. The relay loop calls the Ensure
// functions once a second; each opens its endpoint when it is missing and says
// so on the log. Main thread only.
//
// A server connect never holds the loop: the server's name is looked up on a
// thread of its own and the handshake runs without blocking, both within
// kConnectTimeoutMs. EnsureServerSocket waits a moment for it (long enough for
// a server on this machine) and each pass looks again (AdvanceServerConnect).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/Settings.h"
#include "net/NetSocket.h"
#include "net/Resolver.h"
#include "net/ServerStream.h"
#include "net/TransferResult.h"

namespace veltor {

// One attempt to reach the server: its name's look-up, then the handshake.
class ServerConnectAttempt {
 public:
  ServerConnectAttempt(const std::string& host, uint16_t port, Resolver& resolver);

  // Goes on with the attempt for at most `waitMs`. Done: connected. Idle:
  // still under way. Failed: the name does not resolve, the server refuses, or
  // kConnectTimeoutMs have passed.
  [[nodiscard]] TransferResult Advance(int waitMs);
  // The connected socket, once Advance said Done.
  std::unique_ptr<NetSocket> TakeSocket() { return std::move(socket_); }

 private:
  bool StartHandshake(uint32_t networkAddress);

  uint16_t port_;
  uint32_t startedTick_;
  bool resolving_ = false;
  PendingLookup lookup_;
  std::unique_ptr<NetSocket> socket_;
};

struct ServerLink {
  std::unique_ptr<ServerStream> serverSocket;
  std::unique_ptr<ServerConnectAttempt> connecting;  // while no server socket is open
  std::unique_ptr<NetSocket> listenSocket;
  WakeSignal* loopWake = nullptr;  // given to the server stream: raised when the server sends
};

// Starts a connect to the configured server unless connected or connecting,
// and waits up to kEndpointStepWaitMs for it to finish.
void EnsureServerSocket(ServerLink& link, const RelaySettings& settings, Resolver& resolver);
// Looks whether a connect in progress has finished, waiting at most `waitMs`,
// and writes its line when it has.
void AdvanceServerConnect(ServerLink& link, const RelaySettings& settings, int waitMs);

// Closes the server socket, if open, with its "disconnected" line.
void CloseServerSocket(ServerLink& link);

}  // namespace veltor
