// Reading the configuration file: MOD lines, server host, two ports, the client
// maximum and the access rules. The loader prints its own echo and errors to
// standard error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/Settings.h"

namespace veltor {

// Exit statuses of a failed load.
inline constexpr int kStatusBadArguments = -2;  // also: the file cannot be opened
inline constexpr int kStatusBadRuleLine = -3;
inline constexpr int kStatusBadFormat = -4;

// Fills `settings` from the file at `path`. Returns 0 on success, otherwise one
// of the statuses above after printing the matching message.
int LoadSettings(const std::string& path, RelaySettings& settings);

// The pieces of the loader, exposed for tests.

// atoi's meaning (leading whitespace, optional sign, digits; 0 when there are
// none), saturated at the 32-bit limits instead of overflowing.
int32_t ParseLeadingInt(std::string_view text);

// Cuts a comment and trims whitespace (space, \t, \n, \v, \f, \r) at both ends.
std::string CleanLine(std::string_view rawLine);

// Removes every whitespace character anywhere in the line.
std::string StripWhitespace(std::string_view line);

// Parses a rule line already stripped of whitespace, in the form
// "A,a.b.c.d,m.m.m.m,P,limit,D". Returns nothing unless all twelve fields parse.
std::optional<MaskRule> ParseRuleLine(std::string_view stripped);

// Composes four octets (each cut to 16 bits, spilling into the octet above).
uint32_t ComposeAddress(int32_t a, int32_t b, int32_t c, int32_t d);

// The echo line of rule number `number` (1-based), with its newline.
std::string FormatRuleEcho(int number, const MaskRule& rule);

}  // namespace veltor
