// Telling the relay's greeting frames from the server's stream at the start of
// a connection. Little-endian frame:
//   0     0x74 ('t')
//   1..2  N, the whole frame's length (text length + 10)
//   3..6  the sender's millisecond tick
//   7..   the text, then one zero byte
//   N-2   checksum: the sum of bytes 0..N-3 modulo 2^16
// Server data may begin with 't' too, so a frame is only what has this whole
// structure; a frame whose sum is wrong is still one, reported as bad.
//
// The one reader of the frame: veltor-watch sorts a connection's start with
// it, and the tests' kit reads the greetings its clients receive. It shares no
// code with the relay's own writer (clients/GreetingFrame), so each checks the
// other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace veltor::tools {

struct GreetingDecode {
  enum class Kind {
    kNeedMore,   // could still be a frame: `length` bytes are needed in all
    kNotFrame,   // the bytes are stream data
    kFrame,      // a frame of `length` bytes with a correct checksum
    kBadFrame,   // a frame of `length` bytes whose checksum is wrong
  };
  Kind kind = Kind::kNotFrame;
  size_t length = 0;
  uint32_t tick = 0;
  std::string_view text;  // points into the decoded bytes
  uint16_t checksum = 0;  // as sent
  uint16_t computed = 0;  // as summed here
};

// Decodes the frame at the front of `bytes`, which must not be empty.
GreetingDecode DecodeGreeting(std::string_view bytes);

}  // namespace veltor::tools
