#include "platform/LocalTime.h"

namespace veltor {

bool ToLocalTime(int64_t seconds, std::tm& local) {
  const time_t wall = static_cast<time_t>(seconds);
  return localtime_r(&wall, &local) != nullptr;  // localtime() would share one buffer between threads
}

}  // namespace veltor
