#include "base/Timestamp.h"

#include <cstdio>

namespace veltor {

std::string FormatTimestamp(const std::tm* local) {
  if (local == nullptr) return "0000-00-00 00:00:00";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local->tm_year + 1900, local->tm_mon + 1,
                local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec);
  return text;
}

}  // namespace veltor
