// The relay's work on each pass of the loop, on the main thread:
//   ServerPump     one chunk from the server, copied to every active client;
//   ClientPass     time limits, and one chunk per client forwarded to the server.
#pragma once

#include <cstddef>
#include <cstdint>

#include "clients/ClientTable.h"
#include "net/ServerLink.h"

namespace veltor {

// Queues a copy of the block for every active client; warns on standard error
// when that took more than kSlowBroadcastMs.
void AddClientData(ClientTable& table, const uint8_t* bytes, size_t length);
// Receives at most one chunk from the server (waiting up to 10 ms) and
// broadcasts it; a failed receive drops the server socket.
void ServerPump(ServerLink& link, ClientTable& table);
// For each active client: the time-limit cut-off, or forwarding one chunk of
// what it sent when it has pass-through and the server socket is open. A
// server that takes nothing for kServerSendStallMs is dropped.
void ClientPass(ServerLink& link, ClientTable& table);

}  // namespace veltor
