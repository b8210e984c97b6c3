// What the tests send and expect to read: recognisable bytes, and the time
// stamp that starts every event-log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace veltor::testing {

// Deterministic bytes, different for each variant, that repeat only after
// 32128 bytes, so a lost, doubled or reordered piece of any shorter length shows.
// `Bytes` is std::string or std::vector<uint8_t>.
template <class Bytes = std::string>
Bytes Pattern(size_t length, size_t variant = 0) {
  Bytes bytes(length, 0);
  for (size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<typename Bytes::value_type>((i * 7 + variant * 13 + i / 251) % 256);
  }
  return bytes;
}

// The event-log time stamp for a wall-clock second, in local time.
inline std::string Stamp(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  // std::localtime, which Windows also has; the tests ask from one thread.
  const tm* local = std::localtime(&t);
  char text[32] = "";
  if (local != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
  return text;
}

// A regular expression for any stamp with the ": " after it, for output whose
// second is not known in advance.
inline const std::string kStampRegex = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d: )";

// The header line of the operator's status table.
inline const std::string kStatusHeader = " ##    Address                   Bytes      Duration      Queued\n";

}  // namespace veltor::testing
