// The timestamp that begins every event line: local time as "YYYY-MM-DD hh:mm:ss".
#pragma once

#include <cstdint>
#include <string>

namespace veltor {

// Safe to call from any thread.
std::string TimestampNow();
// The same text for a given wall-clock second.
std::string FormatTimestamp(int64_t wallSeconds);

}  // namespace veltor
