// The control socket's status answer: JSON Lines, first one object for the
// relay, then one per record of the client table in table order, with the
// status table's fields and the admitting rule's. veltor-ctl reads it back.
#pragma once

#include <string>
#include <vector>

#include "console/FlatJson.h"
#include "console/RelayFacts.h"

namespace veltor {

// {"server":"host","serverPort":7023,"serverConnected":true,
//  "listenAddress":"0.0.0.0","listenPort":7024,"listening":true,
//  "clients":2,"maxClients":10,"uptime":3725}
std::string RelayStatusLine(const RelayFacts& relay);
// {"n":1,"address":"127.0.0.1","name":"localhost","bytes":1234,"seconds":65,
//  "queued":0,"active":true,"passRx":true,"timeLimit":0}
std::string ClientStatusLine(const ClientFacts& client);
// The relay's line, then the clients' lines.
std::string StatusLines(const RelayFacts& relay, const std::vector<ClientFacts>& clients);

// The reverse, for readers of the answer: false when a field is missing or of
// another kind, or an address is not dotted IPv4.
bool ReadRelayStatus(const JsonObject& object, RelayFacts& relay);
bool ReadClientStatus(const JsonObject& object, ClientFacts& client);

}  // namespace veltor
