// The relay as a peer: its generated configuration, how it is started, and
// what its status table says about the bytes it holds for a client.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bench/Options.h"
#include "bench/PeerProcess.h"

namespace veltor::bench {

// Writes `stem`.conf (no greeting, every loopback client admitted, with or
// without pass-through, room for `clients` + 10) and says how to run the relay
// on it: the --relay-option values first, then the file. Nothing (and Fail)
// if the file cannot be written.
std::optional<Launch> RelayLaunch(const Options& options, const std::string& stem, int clients, uint16_t sourcePort,
                                  uint16_t listenPort, bool passRx);

// Asks for the status table (key S) and returns the largest "Queued" figure
// in it, the bytes the relay holds for a client that has not taken them yet;
// nothing if no whole table shows within 3 s.
std::optional<int64_t> LargestQueued(PeerProcess& relay);

}  // namespace veltor::bench
