// The greeting decoder's known answers: what the start of a connection is
// taken for, and the line a person sees for each frame.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/Frames.h"
#include "tools/common/GreetingDecoder.h"
#include "tools/watch/Watch.h"

namespace veltor::watch {
namespace {

using tools::DecodeGreeting;
using tools::GreetingDecode;
using Kind = GreetingDecode::Kind;
using veltor::testing::EncodeTextFrame;

// The frame of `text` at `tick` with its checksum's low byte changed.
std::string WithBadChecksum(std::string_view text, uint32_t tick) {
  std::string frame = EncodeTextFrame(text, tick);
  frame[frame.size() - 2] = static_cast<char>(frame[frame.size() - 2] + 1);
  return frame;
}

struct Case {
  const char* name;
  std::string bytes;
  Kind kind;
  size_t length;     // frame length, or bytes needed for kNeedMore
  uint32_t tick;     // for frames
  std::string line;  // for frames: what veltor-watch prints
};

TEST(GreetingDecoder, KnownAnswers) {
  const std::string abc("\x74\x0D\x00\x00\x00\x00\x00\x61\x62\x63\x00\xA7\x01", 13);
  std::string noTerminator = abc;
  noTerminator[10] = 'x';
  const Case cases[] = {
      {"the documented frame", abc, Kind::kFrame, 13, 0, "[greeting] abc\n"},
      {"a frame with server data after it", abc + "hello", Kind::kFrame, 13, 0, "[greeting] abc\n"},
      {"the tick", EncodeTextFrame("hi", 0x04030201), Kind::kFrame, 12, 0x04030201, "[greeting] hi\n"},
      {"an empty text", EncodeTextFrame("", 7), Kind::kFrame, 10, 7, "[greeting] \n"},
      {"control bytes made visible", EncodeTextFrame("\x1b[2Jhi\x07", 0), Kind::kFrame, 17, 0,
       "[greeting] \\x1B[2Jhi\\x07\n"},
      {"UTF-8 kept, a C1 control not", EncodeTextFrame("Gr\xC3\xBC\xC3\x9F" "e \xC2\x9B", 0), Kind::kFrame, 20, 0,
       "[greeting] Gr\xC3\xBC\xC3\x9F" "e \\xC2\\x9B\n"},
      {"a wrong checksum", WithBadChecksum("abc", 0), Kind::kBadFrame, 13, 0,
       "[greeting] bad frame (checksum 01A8, the bytes sum to 01A7): abc\n"},
      {"a wrong checksum and a zero in the text", WithBadChecksum(std::string("a\0c", 3), 0), Kind::kNotFrame, 0, 0,
       ""},
      {"the start of a frame", abc.substr(0, 7), Kind::kNeedMore, 13, 0, ""},
      {"a lone t", "t", Kind::kNeedMore, 3, 0, ""},
      {"server text starting with t", "telemetry 42\n", Kind::kNeedMore, 0x6C65, 0, ""},
      {"a length below the frame's overhead", std::string("t\x09\x00\x00\x00\x00\x00\x00\x00\x00", 10),
       Kind::kNotFrame, 0, 0, ""},
      {"no zero after the text", noTerminator, Kind::kNotFrame, 0, 0, ""},
      {"server data", "hello\r\n", Kind::kNotFrame, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const GreetingDecode decode = DecodeGreeting(c.bytes);
    EXPECT_EQ(decode.kind, c.kind);
    EXPECT_EQ(decode.length, c.length);
    if (c.kind == Kind::kFrame || c.kind == Kind::kBadFrame) {
      EXPECT_EQ(decode.tick, c.tick);
      EXPECT_EQ(GreetingLine(decode), c.line);
    }
  }
}

}  // namespace
}  // namespace veltor::watch
