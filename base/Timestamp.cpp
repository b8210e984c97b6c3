#include "base/Timestamp.h"

#include <cstdio>
#include <ctime>

#include "base/Clock.h"

namespace veltor {

std::string FormatTimestamp(int64_t wallSeconds) {
  const time_t seconds = static_cast<time_t>(wallSeconds);
  tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return "0000-00-00 00:00:00";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

std::string TimestampNow() { return FormatTimestamp(WallNow()); }

}  // namespace veltor
