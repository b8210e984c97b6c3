#include "tools/common/VisibleText.h"

#include <cstdint>
#include <cstdio>

namespace veltor::tools {

namespace {

void AppendEscaped(std::string& out, uint8_t byte) {
  char text[5];
  std::snprintf(text, sizeof text, "\\x%02X", byte);
  out += text;
}

// Length of the well-formed UTF-8 sequence at `at`, or 0. Overlong forms,
// surrogates and code points past U+10FFFF are not well-formed.
size_t Utf8SequenceLength(std::string_view bytes, size_t at, uint32_t& codePoint) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  const uint8_t lead = byte(at);
  size_t length = 0;
  uint32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, codePoint = lead & 0x1Fu, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, codePoint = lead & 0x0Fu, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, codePoint = lead & 0x07u, minimum = 0x10000;
  } else {
    return 0;
  }
  if (at + length > bytes.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0u) != 0x80u) return 0;
    codePoint = (codePoint << 6) | (byte(at + i) & 0x3Fu);
  }
  if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string VisibleText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t at = 0; at < bytes.size();) {
    const auto byte = static_cast<uint8_t>(bytes[at]);
    if ((byte >= 0x20 && byte < 0x7F) || byte == '\t') {
      out.push_back(static_cast<char>(byte));
      ++at;
      continue;
    }
    uint32_t codePoint = 0;
    const size_t length = byte >= 0x80 ? Utf8SequenceLength(bytes, at, codePoint) : 0;
    // C1 controls (U+0080..U+009F) act on some terminals as escape sequences do.
    if (length > 0 && codePoint >= 0xA0) {
      out.append(bytes.substr(at, length));
      at += length;
      continue;
    }
    AppendEscaped(out, byte);
    ++at;
  }
  return out;
}

}  // namespace veltor::tools
