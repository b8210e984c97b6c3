// The benchmark's command line: what to measure, for how long, and with
// which relay and ncat.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/Figures.h"

namespace veltor::bench {

struct Options {
  std::string relay;
  // Given to the relay before its configuration file, as they come.
  std::vector<std::string> relayOptions;
  std::string ncat = "ncat";
  std::vector<PeerKind> peers{PeerKind::kVeltor, PeerKind::kNcat};
  std::vector<int> counts{1, 20, 100};
  double latencySeconds = 10;  // each paced run: console rate, busy rate, and with the stalled client
  double throughputSeconds = 8;
  double idleSeconds = 10;     // the idle sample, with and without the stalled client
  double floodSeconds = 10;    // 0: no flood
  bool fanout = true;          // the fan-out measurements, per client count
  bool flood = true;           // the flood without pass-through
  bool keepFiles = false;

  bool RunsFlood() const { return flood && floodSeconds > 0; }
};

// Parses the command line into `options` and checks that the programs it
// names exist; a usage error comes back as a message.
std::optional<std::string> ParseOptions(int argc, char** argv, Options& options);

// Prints the usage to standard error; returns the exit status for it.
int Usage();

bool Wants(const Options& options, PeerKind kind);

}  // namespace veltor::bench
