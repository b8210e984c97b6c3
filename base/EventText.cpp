#include "base/EventText.h"

#include <cinttypes>
#include <cstdio>

#include "base/Ipv4.h"

namespace veltor {

namespace {

// Counts print as signed 64-bit values: the log has always shown them signed,
// and no real count comes near 2^63, where the two readings part.
int64_t Signed(uint64_t count) { return static_cast<int64_t>(count); }

}  // namespace

std::string ClockDuration(int64_t seconds, int hourWidth) {
  char text[64];
  std::snprintf(text, sizeof text, "%*" PRId64 ":%02" PRId64 ":%02" PRId64, hourWidth, seconds / 3600,
                (seconds / 60) % 60, seconds % 60);
  return text;
}

uint64_t BytesPerSecond(uint64_t bytes, int64_t seconds) {
  return bytes / (seconds < 1 ? 1u : static_cast<uint64_t>(seconds));
}

std::string ConnText(uint32_t address, const std::string& hostName) {
  return "Conn: " + DottedAddress(address) + " (" + hostName + ")... ";
}

std::string DiscText(uint32_t address, uint64_t bytesSent, int64_t elapsedSeconds) {
  char text[160];
  std::snprintf(text, sizeof text, "Disc: %s. %" PRId64 " bytes in %s (%" PRIu64 " BPS)\n",
                DottedAddress(address).c_str(), Signed(bytesSent), ClockDuration(elapsedSeconds).c_str(),
                BytesPerSecond(bytesSent, elapsedSeconds));
  return text;
}

std::string TimeLimitText(uint32_t address, uint64_t bytesSent, int64_t seconds) {
  char text[160];
  std::snprintf(text, sizeof text, "client %s time limit hit. %" PRId64 " bytes in %" PRId64 " seconds (%" PRIu64 " BPS)\n",
                DottedAddress(address).c_str(), Signed(bytesSent), seconds, BytesPerSecond(bytesSent, seconds));
  return text;
}

std::string StatusRowText(int number, uint32_t address, uint64_t bytesSent, int64_t elapsedSeconds,
                          int64_t queuedBytes) {
  char text[160];
  std::snprintf(text, sizeof text, "%3d.    %s      %9" PRId64 "    %s    %8" PRId64, number,
                PaddedAddress(address).c_str(), Signed(bytesSent), ClockDuration(elapsedSeconds, 4).c_str(),
                queuedBytes);
  return text;
}

std::string RuleEchoText(int number, const MaskRule& rule) {
  char text[160];
  std::snprintf(text, sizeof text, "Mask %3d: %5s  %s  %s  %8s %6s  %d\n", number, rule.allow ? "Allow" : "Deny",
                PaddedAddress(rule.address).c_str(), PaddedAddress(rule.mask).c_str(),
                rule.passRx ? "PassRx" : "NoPassRx", rule.dupeOK ? "DupeOK" : "NoDupe", rule.timeLimit);
  return text;
}

}  // namespace veltor
