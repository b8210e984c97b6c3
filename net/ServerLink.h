// ServerLink: the relay's own two endpoints, the connection to the upstream
// server and the listen socket for clients. The relay loop calls the Ensure
// functions once a second; each opens its endpoint when it is missing and says
// so on the log. Main thread only.
#pragma once

#include <memory>

#include "core/Settings.h"
#include "net/NetSocket.h"

namespace veltor {

struct ServerLink {
  std::unique_ptr<NetSocket> serverSocket;
  std::unique_ptr<NetSocket> listenSocket;
};

// Connects to the configured server unless already connected.
void EnsureServerSocket(ServerLink& link, const RelaySettings& settings);
// Opens the listen port unless already open.
void EnsureListenSocket(ServerLink& link, const RelaySettings& settings);
// Closes what `slot` holds and empties it. The server and listen slots of `link`
// log their "disconnected" line; any other slot (a denied client) closes quietly.
void CloseEndpoint(ServerLink& link, std::unique_ptr<NetSocket>& slot);

}  // namespace veltor
