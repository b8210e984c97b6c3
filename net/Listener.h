// The listen socket: the relay's own port for clients, kept open by the
// once-a-second block and looked at by admission. Main thread only.
#pragma once

#include "base/Ipv4.h"
#include "base/Settings.h"
#include "net/NetSocket.h"
#include "net/ServerLink.h"
#include "net/TransferResult.h"

namespace veltor {

// Opens the listen port unless already open, with the line that says how it
// went, bound to local `address` (host order; kAnyAddress: every address).
void EnsureListenSocket(ServerLink& link, const RelaySettings& settings, uint32_t address = kAnyAddress);
// Closes the listen socket, if open, with its "disconnected" line.
void CloseListenSocket(ServerLink& link);

// Done: a connection waits to be accepted. Idle: none came within `waitMs`
// (or a signal ended the wait). Failed: the wait failed; the listen socket is
// of no more use.
[[nodiscard]] TransferResult WaitForPendingConnection(const NetSocket& listenSocket, int waitMs);

}  // namespace veltor
