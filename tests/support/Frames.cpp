#include "tests/support/Frames.h"

#include <cstdio>

#include "tools/common/GreetingDecoder.h"

namespace veltor::testing {

namespace {

uint8_t ByteAt(std::string_view bytes, size_t i) { return static_cast<uint8_t>(bytes[i]); }

uint16_t ReadLe16(std::string_view bytes, size_t at) {
  return static_cast<uint16_t>(ByteAt(bytes, at) | (ByteAt(bytes, at + 1) << 8));
}

void AppendLe(std::string& out, uint32_t value, size_t byteCount) {
  for (size_t i = 0; i < byteCount; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// The sum wraps at 16 bits by the narrowing on every step, just as a 16-bit
// accumulator on the sending side does.
uint16_t Checksum(std::string_view bytes) {
  uint16_t sum = 0;
  for (size_t i = 0; i < bytes.size(); ++i) sum = static_cast<uint16_t>(sum + ByteAt(bytes, i));
  return sum;
}

}  // namespace

std::string EncodeTextFrame(std::string_view text, uint32_t tick) {
  const size_t length = text.size() + kTextFrameOverheadBytes;
  std::string frame;
  frame.reserve(length);
  frame.push_back(static_cast<char>(kTextFrameType));
  AppendLe(frame, static_cast<uint32_t>(length), 2);  // wraps for texts over 65525 bytes
  AppendLe(frame, tick, 4);
  frame.append(text);
  frame.push_back('\0');
  AppendLe(frame, Checksum(frame), 2);
  return frame;
}

std::vector<std::string> ReadGreeting(TestClient& client, size_t count) {
  std::vector<std::string> texts;
  for (size_t i = 0; i < count; ++i) {
    std::string header;
    if (!client.ReadExactly(3, header, std::chrono::seconds(5))) return texts;
    const size_t length = ReadLe16(header, 1);
    std::string rest;
    if (length < kTextFrameOverheadBytes || !client.ReadExactly(length - 3, rest, std::chrono::seconds(5))) {
      return texts;
    }
    const std::string frame = header + rest;
    const tools::GreetingDecode decode = tools::DecodeGreeting(frame);
    if (decode.kind != tools::GreetingDecode::Kind::kFrame || decode.length != length) return texts;
    texts.emplace_back(decode.text);
  }
  return texts;
}

std::string HexDump(std::string_view bytes, size_t maxBytes) {
  std::string dump;
  const size_t shown = bytes.size() < maxBytes ? bytes.size() : maxBytes;
  dump.reserve(shown * 3 + 16);
  char hex[4];
  for (size_t i = 0; i < shown; ++i) {
    std::snprintf(hex, sizeof(hex), i == 0 ? "%02x" : " %02x", ByteAt(bytes, i));
    dump += hex;
  }
  if (shown < bytes.size()) dump += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return dump;
}

}  // namespace veltor::testing
