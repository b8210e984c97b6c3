#include "platform/LocalTime.h"

#include "base/Clock.h"
#include "base/Timestamp.h"

namespace veltor {

std::string TimestampNow() {
  std::tm local{};
  if (!ToLocalTime(WallNow(), local)) return FormatTimestamp(nullptr);
  return FormatTimestamp(&local);
}

}  // namespace veltor
