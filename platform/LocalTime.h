// Local time, as the event log shows it.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace veltor {

// The local calendar time of wall-clock second `seconds`; false when the
// system cannot tell it. Safe from any thread.
bool ToLocalTime(int64_t seconds, std::tm& local);

// The event log's time stamp: the current clock's wall second, local time.
std::string TimestampNow();

}  // namespace veltor
