#include "bench/Progress.h"

#include <cstdarg>
#include <cstdio>

namespace veltor::bench {

void Progress(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fflush(stderr);
}

}  // namespace veltor::bench
