// The relay's work on each pass of the loop, on the main thread:
//   ServerPump     one chunk from the server, copied to every active client;
//   ClientPass     time limits, and one chunk per client forwarded to the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "clients/ClientTable.h"
#include "net/ServerLink.h"

namespace veltor {

// Queues a copy of the block for every active client; warns on standard error
// when that took more than kSlowBroadcastMs.
void AddClientData(ClientTable& table, const uint8_t* bytes, size_t length);
// Broadcasts at most one chunk of what the server sent (waiting up to 10 ms
// when nothing is buffered yet) and hands it back, for whoever keeps the
// stream besides the clients; nullptr when none came. The server socket is
// closed once its stream has ended and every byte of it was broadcast.
std::unique_ptr<DataChunk> ServerPump(ServerLink& link, ClientTable& table);
// For each active client: the time-limit cut-off, or forwarding one chunk of
// what it sent when it has pass-through and the server socket takes data. A
// block the server cannot take at once is finished in later passes, and until
// then no client's data is taken; a server that takes nothing for
// kServerSendStallMs is dropped once its clients have what it sent.
void ClientPass(ServerLink& link, ClientTable& table);

}  // namespace veltor
