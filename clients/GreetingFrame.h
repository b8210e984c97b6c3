// The greeting frame: the one thing the relay itself writes into a client's
// stream. Little-endian fields:
//   0     type 0x74 ('t')
//   1..2  N, the whole frame's length (text length + 10)
//   3..6  the sender's millisecond tick when the frame was built
//   7..   the text, then one zero byte
//   N-2   checksum: the sum of bytes 0..N-3 modulo 2^16
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace veltor {

// The frame of `text` stamped with `tick`. The text must be at most
// kModTextMaxBytes long (the loader refuses longer ones).
std::vector<uint8_t> BuildTextFrame(std::string_view text, uint32_t tick);
// The same, stamped with the current tick.
std::vector<uint8_t> BuildTextFrame(std::string_view text);

}  // namespace veltor
