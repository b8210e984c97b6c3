// The greeting frames a client receives at admission, read and written
// independently of the relay's own code, so tests check the bytes on the wire.
// They are read with veltor-watch's reader (tools/common/GreetingDecoder.h),
// the project's one parser of the frame, which is no relay code either.
//
// Frame layout (all integers little-endian):
//   byte 0        0x74 ('t'), the text frame type
//   bytes 1-2     N, the whole frame length: text length L + 10
//   bytes 3-6     the relay's 32-bit millisecond tick at sending
//   bytes 7..     the L text bytes, then one zero byte
//   last 2 bytes  checksum: sum of bytes 0..N-3 as unsigned bytes, mod 2^16
// The text "abc" at tick 0 is 74 0D 00 00 00 00 00 61 62 63 00 A7 01.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/TestClient.h"

namespace veltor::testing {

inline constexpr uint8_t kTextFrameType = 0x74;
inline constexpr size_t kTextFrameOverheadBytes = 10;

// The frame for `text` at `tick`, built from the layout above; for tests of
// the reader and for comparing whole frames once the tick is known.
std::string EncodeTextFrame(std::string_view text, uint32_t tick);

// The texts of the next `count` greeting frames `client` receives, each one
// whole and with a good checksum; fewer when one is not.
std::vector<std::string> ReadGreeting(TestClient& client, size_t count);

// "74 0d 00 ..." for failure messages: binary data readable in test output.
std::string HexDump(std::string_view bytes, size_t maxBytes = 256);

}  // namespace veltor::testing
