#include "platform/LocalTime.h"

namespace veltor {

bool ToLocalTime(int64_t seconds, std::tm& local) {
  const __time64_t wall = seconds;
  return _localtime64_s(&local, &wall) == 0;  // the thread-safe form, as localtime_r on Linux
}

}  // namespace veltor
