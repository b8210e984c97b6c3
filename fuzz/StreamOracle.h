// What the relay owes each party in client_stream_fuzz, kept apart from the
// sockets that drive it: the record of what the server sent, each client's
// expected verdict and greeting, and the checks on what arrived.
//
// A failed check traps through FUZZ_CHECK with a sentence naming the broken
// promise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/Settings.h"

namespace veltor::fuzz {

// The server's byte at stream position `position`: a mixed counter, so that a
// handful of bytes pins down where a client's slice starts.
uint8_t ServerByte(size_t position);

// One connection of the relay to the server. A connection the server reset
// may have lost its tail inside the relay (a failed forward drops the socket
// with data still unread), so any prefix of it may be all that reached the
// clients.
struct Segment {
  size_t start = 0;
  size_t length = 0;
  bool mayBeCut = false;
};

// Everything the server sent, over all of the relay's connections in order.
struct ServerOutput {
  std::vector<uint8_t> bytes;
  std::vector<Segment> segments;

  // Adds to `out` every position a reader at `position` may continue from
  // without receiving a byte: its own, and the end of each segment that may
  // have been cut short from there on.
  void Continuations(size_t position, std::vector<size_t>& out) const;
};

// The greeting a client expects: one frame per MOD text.
struct Greeting {
  std::vector<std::string> texts;
  size_t Length() const;
};

// How the relay is to treat a connection, by the rule that admits it.
enum class Policy { Denied, NeverCut, AlwaysCut, MaybeCut };

// The verdict for a connection from 127.0.0.1 when the table holds `count`
// records, all from that same address. Sets `passRx` when admitted.
Policy ExpectedPolicy(const RelaySettings& settings, int count, bool& passRx);

// One downstream client as the harness sees it.
struct Client {
  int fd = -1;
  bool closedByUs = false;
  bool ended = false;  // the relay closed or reset it
  Policy policy = Policy::Denied;
  bool passRx = false;
  size_t serverPositionAtAdmission = 0;
  std::vector<uint8_t> received;
  std::vector<uint8_t> sent;
  // Where the next byte of server data may come from, once the greeting is
  // through and data has started; before that, any position up to the
  // server's position at admission.
  bool dataStarted = false;
  std::vector<size_t> candidates;
  size_t checkedBytes = 0;
};

// Checks what the client received since the last call (and its end, if it
// ended): nothing for a denied client; otherwise the greeting frames whole and
// in order, then a gap-free, in-order slice of the server's stream.
void CheckReceived(const ServerOutput& stream, const Greeting& greeting, Client& client);

// True when the client has everything it is owed: a denied client is closed;
// an admitted one has its greeting and, unless its time limit ended it, all
// the server sent after its admission.
bool Settled(const ServerOutput& stream, const Greeting& greeting, const Client& client);

// Nothing reaches the server but what pass-through clients sent; with only one
// such client, its bytes arrive in order (chunks may be missing where the
// server connection was). `final` adds the order check, which needs the whole.
void CheckUpstream(const std::vector<Client>& clients, const std::vector<uint8_t>& upstream, bool final);

}  // namespace veltor::fuzz
