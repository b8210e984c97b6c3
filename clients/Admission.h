// Admission: once a second the relay takes at most one pending connection and
// judges it by the client maximum, then by the access rules in file order (the
// first match decides), then by the duplicate-address policy. The verdict
// completes the connection's "Conn" line on the event log.
#pragma once

#include <cstdint>
#include <string>

#include "clients/ClientTable.h"
#include "core/Settings.h"
#include "net/ServerLink.h"

namespace veltor {

struct Verdict {
  bool admitted = false;
  const MaskRule* rule = nullptr;  // the deciding rule when admitted
  std::string text;                // what completes the "Conn" line
};

// Decides for a connection from `address` (host order), given the table's count
// and `existing`, the first record with that address (or null).
Verdict Judge(const RelaySettings& settings, uint32_t address, int clientCount, const ClientConnection* existing);

// Takes one pending connection from the listen socket, if any, and admits or
// denies it. Main thread, from the once-a-second block.
void AcceptPendingClient(ServerLink& link, ClientTable& table, const RelaySettings& settings);

}  // namespace veltor
