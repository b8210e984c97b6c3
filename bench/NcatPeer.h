// `ncat --broker` as the peer the relay is compared with. It has no upstream:
// it listens, and everything one member writes goes to every other member. The
// benchmark's source joins it as a member and writes; the clients join as
// members and only read, so each of them gets the whole stream (a member never
// gets its own data back, and only the source writes).
#pragma once

#include <string>

#include "bench/Options.h"
#include "bench/PeerProcess.h"

namespace veltor::bench {

// How to run ncat with room for `clients` clients and the source on
// 127.0.0.1:`listenPort`; its logs go to `stem`.out and `stem`.err.
Launch NcatLaunch(const Options& options, const std::string& stem, int clients, uint16_t listenPort);

}  // namespace veltor::bench
