#include "base/Output.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace veltor {

namespace {

// Formats the whole message first, so that it reaches its stream as one write.
std::string Format(const char* format, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (needed < 0) return {};
  if (static_cast<size_t>(needed) < sizeof small) return std::string(small, static_cast<size_t>(needed));
  std::string large(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(large.data(), large.size(), format, args);
  large.resize(static_cast<size_t>(needed));
  return large;
}

}  // namespace

void LogOut(const char* format, ...) {
  va_list args;
  va_start(args, format);
  SubmitLogMessage(LogStream::Out, Format(format, args));
  va_end(args);
}

void LogErr(const char* format, ...) {
  va_list args;
  va_start(args, format);
  SubmitLogMessage(LogStream::Err, Format(format, args));
  va_end(args);
}

}  // namespace veltor
