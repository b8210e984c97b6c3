// Looking up an IPv4 address for a host name the way the relay does, but with
// a time bound: a dead name server must not hold a checker or a watcher.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace veltor::tools {

struct HostLookup {
  enum class Outcome { kFound, kNotFound, kTimedOut };
  Outcome outcome = Outcome::kNotFound;
  uint32_t address = 0;  // network byte order, when found
  std::string reason;    // the resolver's words, when not found
};

using HostResolver = std::function<HostLookup(const std::string& host)>;

// A dotted address is taken as it is; a name goes to the system resolver
// (IPv4 only), whose answer is awaited for at most `limit`.
HostLookup LookUpHost(const std::string& host, std::chrono::milliseconds limit);

// LookUpHost with a fixed limit, as a resolver to inject.
HostResolver TimeBoundResolver(std::chrono::milliseconds limit);

}  // namespace veltor::tools
