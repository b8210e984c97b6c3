// The text of the time stamp that begins every event line, from a local
// calendar time: "YYYY-MM-DD hh:mm:ss". The current one is TimestampNow()
// (platform/LocalTime.h).
#pragma once

#include <ctime>
#include <string>

namespace veltor {

// nullptr (a time the system could not tell) gives "0000-00-00 00:00:00".
std::string FormatTimestamp(const std::tm* local);

}  // namespace veltor
