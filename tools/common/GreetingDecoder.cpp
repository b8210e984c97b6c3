#include "tools/common/GreetingDecoder.h"

namespace veltor::tools {

namespace {

constexpr uint8_t kFrameType = 0x74;
constexpr size_t kOverheadBytes = 10;
constexpr size_t kTextOffset = 7;

uint8_t ByteAt(std::string_view bytes, size_t at) { return static_cast<uint8_t>(bytes[at]); }

}  // namespace

GreetingDecode DecodeGreeting(std::string_view bytes) {
  GreetingDecode decode;
  if (bytes.empty() || ByteAt(bytes, 0) != kFrameType) return decode;
  if (bytes.size() < 3) {
    decode.kind = GreetingDecode::Kind::kNeedMore;
    decode.length = 3;
    return decode;
  }
  const size_t length = ByteAt(bytes, 1) | (static_cast<size_t>(ByteAt(bytes, 2)) << 8);
  if (length < kOverheadBytes) return decode;
  if (bytes.size() < length) {
    decode.kind = GreetingDecode::Kind::kNeedMore;
    decode.length = length;
    return decode;
  }
  if (ByteAt(bytes, length - 3) != 0) return decode;

  uint16_t sum = 0;
  for (size_t i = 0; i + 2 < length; ++i) sum = static_cast<uint16_t>(sum + ByteAt(bytes, i));
  decode.length = length;
  decode.text = bytes.substr(kTextOffset, length - kOverheadBytes);
  decode.checksum = static_cast<uint16_t>(ByteAt(bytes, length - 2) | (ByteAt(bytes, length - 1) << 8));
  decode.computed = sum;
  for (size_t i = 0; i < 4; ++i) decode.tick |= static_cast<uint32_t>(ByteAt(bytes, 3 + i)) << (8 * i);
  if (sum == decode.checksum) {
    decode.kind = GreetingDecode::Kind::kFrame;
  } else if (decode.text.find('\0') == std::string_view::npos) {
    decode.kind = GreetingDecode::Kind::kBadFrame;
  } else {
    // A zero inside the text and a wrong sum: far likelier binary data than a frame.
    decode = GreetingDecode{};
  }
  return decode;
}

}  // namespace veltor::tools
