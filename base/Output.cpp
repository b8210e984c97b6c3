#include "base/Output.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace veltor {

namespace {

bool crLfLineEnds = false;

// Every '\n' that has no '\r' before it gets one.
std::string WithCrLf(const char* text, size_t length) {
  std::string converted;
  converted.reserve(length + length / 16 + 2);
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) converted.push_back('\r');
    converted.push_back(text[i]);
  }
  return converted;
}

// Formats the whole message first and hands it over in one call, then
// flushes: the stream's lock keeps messages from different threads whole, and
// a log read through a pipe or file is always current. A closed or broken
// stream drops the message and never stops the relay.
void WriteFormatted(std::FILE* stream, const char* format, va_list args) {
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
  if (crLfLineEnds) {
    const std::string converted = WithCrLf(text, static_cast<size_t>(needed));
    std::fwrite(converted.data(), 1, converted.size(), stream);
  } else {
    std::fwrite(text, 1, static_cast<size_t>(needed), stream);
  }
  std::fflush(stream);
}

}  // namespace

void UseCrLfLineEnds() { crLfLineEnds = true; }

void LogOut(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteFormatted(stdout, format, args);
  va_end(args);
}

void LogErr(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteFormatted(stderr, format, args);
  va_end(args);
}

}  // namespace veltor
