// The relay's settings, loaded once from the configuration file and read-only afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veltor {

// One access rule; addresses and masks are IPv4 in host byte order.
struct MaskRule {
  uint32_t address = 0;
  uint32_t mask = 0;
  int32_t timeLimit = 0;  // seconds; 0 means no limit
  bool passRx = false;    // the client's data is forwarded to the server
  bool allow = false;     // a matching client is admitted
  bool dupeOK = false;    // admitted even when a record with its address exists
};

struct RelaySettings {
  std::string serverHost;  // host name or dotted address, as written
  uint16_t serverPort = 0;
  uint16_t listenPort = 0;
  int32_t maxClients = 0;
  std::vector<std::string> modTexts;  // greeting texts, in file order
  std::vector<MaskRule> rules;        // access rules, in file order
};

// True when the rule applies to `address` (host order).
inline bool RuleMatches(const MaskRule& rule, uint32_t address) { return (address & rule.mask) == rule.address; }

}  // namespace veltor
