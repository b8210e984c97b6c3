// The greeting frame's bytes: layout, checksum and its 16-bit wrap.
#include <gtest/gtest.h>

#include <string>

#include "clients/GreetingFrame.h"

namespace veltor {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(GreetingFrame, AbcAtTickZeroIsTheKnownFrame) {
  EXPECT_EQ(BuildTextFrame("abc", 0),
            (Bytes{0x74, 0x0D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63, 0x00, 0xA7, 0x01}));
}

TEST(GreetingFrame, EmptyTextIsTenBytes) {
  EXPECT_EQ(BuildTextFrame("", 0x04030201),
            (Bytes{0x74, 0x0A, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x88, 0x00}));
}

TEST(GreetingFrame, LeadingSpaceIsPartOfTheText) {
  const Bytes frame = BuildTextFrame(" hi", 0);
  ASSERT_EQ(frame.size(), 13u);
  EXPECT_EQ(std::string(frame.begin() + 7, frame.begin() + 10), " hi");
  EXPECT_EQ(frame[10], 0);
}

TEST(GreetingFrame, TickIsLittleEndianAndOnlyItsByteSumMovesTheChecksum) {
  const Bytes at1 = BuildTextFrame("abc", 1);
  const Bytes at256 = BuildTextFrame("abc", 256);
  EXPECT_EQ(Bytes(at1.begin() + 3, at1.begin() + 7), (Bytes{1, 0, 0, 0}));
  EXPECT_EQ(Bytes(at256.begin() + 3, at256.begin() + 7), (Bytes{0, 1, 0, 0}));
  EXPECT_EQ(Bytes(at1.end() - 2, at1.end()), Bytes(at256.end() - 2, at256.end()));
  const Bytes at2 = BuildTextFrame("abc", 2);
  EXPECT_NE(Bytes(at1.end() - 2, at1.end()), Bytes(at2.end() - 2, at2.end()));
}

TEST(GreetingFrame, ChecksumWrapsAtSixteenBitsAndLengthUsesBothBytes) {
  const std::string text(300, '\xFF');  // 300 * 255 = 76500 alone passes 65535
  const Bytes frame = BuildTextFrame(text, 0xFFFFFFFF);
  ASSERT_EQ(frame.size(), 310u);
  EXPECT_EQ(frame[1], 310 & 0xFF);
  EXPECT_EQ(frame[2], 310 >> 8);
  uint32_t sum = 0;
  for (size_t i = 0; i + 2 < frame.size(); ++i) sum += frame[i];
  EXPECT_GT(sum, 0xFFFFu);
  EXPECT_EQ(frame[308] | (frame[309] << 8), static_cast<int>(sum & 0xFFFF));
}

TEST(GreetingFrame, LongestTextFillsTheSixteenBitLength) {
  const Bytes frame = BuildTextFrame(std::string(65525, 'a'), 0);
  ASSERT_EQ(frame.size(), 65535u);
  EXPECT_EQ(frame[1], 0xFF);
  EXPECT_EQ(frame[2], 0xFF);
}

}  // namespace
}  // namespace veltor
