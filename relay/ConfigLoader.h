// Reading the configuration file: MOD lines, server host, two ports, the client
// maximum and the access rules. The loader prints its own echo and errors to
// standard error.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/Settings.h"

namespace veltor {

// Exit statuses of a failed load.
inline constexpr int kStatusBadArguments = -2;  // also: the file cannot be opened
inline constexpr int kStatusBadRuleLine = -3;
inline constexpr int kStatusBadFormat = -4;

// What the loader took a counted line for.
enum class ConfigLineRole { kGreeting, kServerHost, kServerPort, kListenPort, kMaxClients, kRule };

// One counted line as the loader reads it: its 1-based number in the file, the
// line without its line end, the cleaned text and the role it was given.
struct ConfigLine {
  int number = 0;
  std::string_view raw;
  std::string_view cleaned;
  ConfigLineRole role = ConfigLineRole::kGreeting;
};

// Called for each counted line before the loader acts on it, so a checker sees
// exactly what the relay sees, the line that stops a load included.
using ConfigLineObserver = std::function<void(const ConfigLine&)>;

// Fills `settings` from the file at `path`. Returns 0 on success, otherwise one
// of the statuses above after printing the matching message.
int LoadSettings(const std::string& path, RelaySettings& settings, const ConfigLineObserver& observer = {});

// The loader's pieces. veltor-check reads numbers, rule fields and addresses
// with them, so that what it reports is what the relay reads; the unit tests
// and the configuration fuzzer check them one by one.

// atoi's meaning (leading whitespace, optional sign, digits; 0 when there are
// none), saturated at the 32-bit limits instead of overflowing.
int32_t ParseLeadingInt(std::string_view text);

// Cuts a comment and trims whitespace (space, \t, \n, \v, \f, \r) at both ends.
std::string CleanLine(std::string_view rawLine);

// Removes every whitespace character anywhere in the line.
std::string StripWhitespace(std::string_view line);

// The twelve fields of a rule line as read, before the flags become yes or no
// and the octets become an address and a mask.
struct RuleFields {
  char allow = 0;
  int32_t octets[8] = {};  // the address's four, then the mask's
  char passRx = 0;
  int32_t timeLimit = 0;
  char dupeOK = 0;
  std::string_view rest;  // what follows the twelfth field, ignored
};

// Reads the fields of a rule line already stripped of whitespace, in the form
// "A,a.b.c.d,m.m.m.m,P,limit,D". Returns nothing unless all twelve are there.
std::optional<RuleFields> ScanRuleFields(std::string_view stripped);

// The rule those fields make; nothing when ScanRuleFields finds none.
std::optional<MaskRule> ParseRuleLine(std::string_view stripped);

// Composes four octets (each cut to 16 bits, spilling into the octet above).
uint32_t ComposeAddress(int32_t a, int32_t b, int32_t c, int32_t d);

}  // namespace veltor
