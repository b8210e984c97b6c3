#include "clients/GreetingFrame.h"

#include <cassert>

#include "base/Clock.h"
#include "base/Constants.h"

namespace veltor {

std::vector<uint8_t> BuildTextFrame(std::string_view text, uint32_t tick) {
  assert(text.size() <= kModTextMaxBytes);
  const uint16_t length = static_cast<uint16_t>(text.size() + kTextFrameOverheadBytes);
  std::vector<uint8_t> frame;
  frame.reserve(length);
  frame.push_back(kTextFrameType);
  frame.push_back(static_cast<uint8_t>(length & 0xFF));
  frame.push_back(static_cast<uint8_t>(length >> 8));
  for (int shift = 0; shift < 32; shift += 8) frame.push_back(static_cast<uint8_t>((tick >> shift) & 0xFF));
  frame.insert(frame.end(), text.begin(), text.end());
  frame.push_back(0);

  uint16_t checksum = 0;
  for (uint8_t byte : frame) checksum = static_cast<uint16_t>(checksum + byte);
  frame.push_back(static_cast<uint8_t>(checksum & 0xFF));
  frame.push_back(static_cast<uint8_t>(checksum >> 8));
  return frame;
}

std::vector<uint8_t> BuildTextFrame(std::string_view text) { return BuildTextFrame(text, TickNow()); }

}  // namespace veltor
