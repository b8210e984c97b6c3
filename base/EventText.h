// The texts of the relay's event lines and tables, each written once. They
// take plain values, so every format is checked against known answers without
// a socket; the callers put the time stamp in front and write them.
#pragma once

#include <cstdint>
#include <string>

#include "base/Settings.h"

namespace veltor {

// "H:MM:SS", the hours right-aligned in `hourWidth` places (0: as they come).
std::string ClockDuration(int64_t seconds, int hourWidth = 0);
// Bytes per second over `seconds`, counting less than one second as one.
uint64_t BytesPerSecond(uint64_t bytes, int64_t seconds);

// "Conn: 10.1.2.3 (name)... ": left open for the verdict.
std::string ConnText(uint32_t address, const std::string& hostName);
// "Disc: 10.1.2.3. 1234 bytes in 0:01:05 (18 BPS)\n"
std::string DiscText(uint32_t address, uint64_t bytesSent, int64_t elapsedSeconds);
// "client 10.1.2.3 time limit hit. 1234 bytes in 5 seconds (246 BPS)\n"
std::string TimeLimitText(uint32_t address, uint64_t bytesSent, int64_t seconds);
// One status-table row without its "(inactive)" mark and line end.
std::string StatusRowText(int number, uint32_t address, uint64_t bytesSent, int64_t elapsedSeconds,
                          int64_t queuedBytes);
// The echo of rule `number` (1-based) as the configuration is read, with its line end.
std::string RuleEchoText(int number, const MaskRule& rule);

}  // namespace veltor
