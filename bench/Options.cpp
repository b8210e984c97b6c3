#include "bench/Options.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string_view>

namespace veltor::bench {

namespace {

constexpr std::string_view kRelayOptionPrefix = "--relay-option=";

std::optional<std::string> ParseCounts(const std::string& list, std::vector<int>& counts) {
  counts.clear();
  std::istringstream in(list);
  std::string item;
  while (std::getline(in, item, ',')) {
    const int value = std::atoi(item.c_str());
    if (value < 1) return "client counts must be positive: " + list;
    counts.push_back(value);
  }
  return std::nullopt;
}

std::optional<std::string> ParsePeers(const std::string& word, std::vector<PeerKind>& peers) {
  if (word == "veltor") peers = {PeerKind::kVeltor};
  else if (word == "ncat") peers = {PeerKind::kNcat};
  else if (word == "both") peers = {PeerKind::kVeltor, PeerKind::kNcat};
  else return "--peer takes veltor, ncat or both, not " + word;
  return std::nullopt;
}

std::optional<std::string> ParseScenarios(const std::string& list, Options& options) {
  options.fanout = options.flood = false;
  std::istringstream in(list);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item == "fanout") options.fanout = true;
    else if (item == "flood") options.flood = true;
    else return "--scenarios takes fanout and flood, comma-separated, not " + list;
  }
  return std::nullopt;
}

// A number of seconds; like the C++ library's stod, text after the number is ignored.
std::optional<std::string> ParseSeconds(const std::string& option, const std::string& text, double& seconds) {
  char* end = nullptr;
  seconds = std::strtod(text.c_str(), &end);
  if (end == text.c_str()) return "not a number after " + option + ": " + text;
  return std::nullopt;
}

// The path of an executable named on the command line or found on PATH; empty if none.
std::string FindExecutable(const std::string& name) {
  if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path == nullptr ? "/usr/bin:/bin" : path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

bool TakesValue(const std::string& option) {
  for (const char* name : {"--clients", "--peer", "--ncat", "--scenarios", "--relay-option", "--latency-seconds",
                           "--throughput-seconds", "--idle-seconds", "--flood-seconds"}) {
    if (option == name) return true;
  }
  return false;
}

std::optional<std::string> ParseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    const std::string value = hasValue ? argv[i + 1] : "";
    const bool takesValue = TakesValue(arg);
    if (takesValue && !hasValue) return "missing value after " + arg;
    std::optional<std::string> error;
    if (arg == "--clients") error = ParseCounts(value, options.counts);
    else if (arg == "--peer") error = ParsePeers(value, options.peers);
    else if (arg == "--ncat") options.ncat = value;
    else if (arg == "--scenarios") error = ParseScenarios(value, options);
    else if (arg == "--relay-option") options.relayOptions.push_back(value);
    else if (arg == "--latency-seconds") error = ParseSeconds(arg, value, options.latencySeconds);
    else if (arg == "--throughput-seconds") error = ParseSeconds(arg, value, options.throughputSeconds);
    else if (arg == "--idle-seconds") error = ParseSeconds(arg, value, options.idleSeconds);
    else if (arg == "--flood-seconds") error = ParseSeconds(arg, value, options.floodSeconds);
    else if (arg.rfind(kRelayOptionPrefix, 0) == 0) options.relayOptions.push_back(arg.substr(kRelayOptionPrefix.size()));
    else if (arg == "--keep-files") options.keepFiles = true;
    else if (!arg.empty() && arg[0] != '-' && options.relay.empty()) options.relay = arg;
    else return "unknown argument " + arg;
    if (error) return error;
    if (takesValue) ++i;
  }
  return std::nullopt;
}

}  // namespace

bool Wants(const Options& options, PeerKind kind) {
  return std::find(options.peers.begin(), options.peers.end(), kind) != options.peers.end();
}

int Usage() {
  std::fprintf(stderr,
               "usage: veltor-fanout-bench [options] [RELAY_BINARY]\n"
               "  --peer veltor|ncat|both   what to measure (default both; veltor needs RELAY_BINARY)\n"
               "  --ncat PATH               the ncat to compare with (default: ncat on PATH)\n"
               "  --clients LIST            client counts to run, comma-separated (default 1,20,100)\n"
               "  --latency-seconds S       length of each paced run (default 10)\n"
               "  --throughput-seconds S    length of the flat-out run (default 8)\n"
               "  --idle-seconds S          length of each idle CPU sample (default 10)\n"
               "  --scenarios LIST          what to run: fanout, flood, or fanout,flood (the default)\n"
               "  --flood-seconds S         length of the flood without pass-through (default 10; 0 skips it)\n"
               "  --relay-option=OPTION     given to the relay before its configuration file (repeatable)\n"
               "  --keep-files              keep the generated configs and peer logs\n");
  return 2;
}

std::optional<std::string> ParseOptions(int argc, char** argv, Options& options) {
  if (std::optional<std::string> error = ParseArguments(argc, argv, options)) return error;
  if (options.latencySeconds <= 0 || options.throughputSeconds <= 0 || options.idleSeconds <= 0) {
    return "durations must be positive";
  }
  if (options.floodSeconds < 0) return "--flood-seconds must not be negative";
  if (!options.fanout && !options.RunsFlood()) return "nothing to run: the flood alone needs --flood-seconds above 0";
  if (Wants(options, PeerKind::kVeltor)) {
    if (options.relay.empty()) return "the relay binary is missing";
    if (::access(options.relay.c_str(), X_OK) != 0) return options.relay + " is not an executable";
  }
  if (Wants(options, PeerKind::kNcat)) {
    const std::string found = FindExecutable(options.ncat);
    if (found.empty()) return "ncat not found (" + options.ncat + "); it comes in the Debian package ncat";
    options.ncat = found;
  }
  return std::nullopt;
}

}  // namespace veltor::bench
