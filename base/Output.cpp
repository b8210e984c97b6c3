#include "base/Output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace veltor {

namespace {

void WriteFormatted(int fd, const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return;

  std::string large;
  const char* text = small;
  if (static_cast<size_t>(needed) >= sizeof small) {
    large.resize(static_cast<size_t>(needed) + 1);
    std::vsnprintf(large.data(), large.size(), format, args);
    text = large.data();
  }

  // A closed or broken stream must not stop the relay: errors other than
  // interruption simply drop the rest of the message.
  size_t remaining = static_cast<size_t>(needed);
  while (remaining > 0) {
    const ssize_t written = ::write(fd, text, remaining);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += written;
    remaining -= static_cast<size_t>(written);
  }
}

}  // namespace

void LogOut(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteFormatted(STDOUT_FILENO, format, args);
  va_end(args);
}

void LogErr(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteFormatted(STDERR_FILENO, format, args);
  va_end(args);
}

}  // namespace veltor
