// The replay's ring: always exactly the last N bytes of what was appended, in order.
#include <gtest/gtest.h>

#include <string>

#include "clients/ReplayBuffer.h"

namespace veltor {
namespace {

void Append(ReplayBuffer& buffer, const std::string& text) {
  buffer.Append(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string Held(const ReplayBuffer& buffer) {
  const std::vector<uint8_t> copy = buffer.Copy();
  return std::string(copy.begin(), copy.end());
}

TEST(ReplayBuffer, HoldsWhatFitsThenTheLastBytesAcrossTheWrap) {
  ReplayBuffer buffer(8);
  Append(buffer, "abc");
  EXPECT_EQ(Held(buffer), "abc");
  Append(buffer, "defgh");
  EXPECT_EQ(Held(buffer), "abcdefgh");
  Append(buffer, "ijk");
  EXPECT_EQ(buffer.Size(), 8u);
  EXPECT_EQ(Held(buffer), "defghijk");
  const ReplayBuffer::Spans spans = buffer.View();
  EXPECT_EQ(std::string(spans.first.begin(), spans.first.end()), "defgh");
  EXPECT_EQ(std::string(spans.second.begin(), spans.second.end()), "ijk");
}

TEST(ReplayBuffer, AnAppendLargerThanTheCapacityLeavesItsOwnTail) {
  ReplayBuffer buffer(4);
  Append(buffer, "xy");
  Append(buffer, "0123456789");
  EXPECT_EQ(Held(buffer), "6789");
  Append(buffer, "ab");
  EXPECT_EQ(Held(buffer), "89ab");
}

TEST(ReplayBuffer, KeepsExactlyTheLastNOfALongStreamInOddPieces) {
  std::string stream;
  for (int i = 0; i < 5000; ++i) stream += static_cast<char>('A' + (i * 7) % 53);
  ReplayBuffer buffer(1000);
  size_t at = 0;
  for (size_t piece = 1; at < stream.size(); piece = piece % 997 + 13) {
    const size_t length = std::min(piece, stream.size() - at);
    buffer.Append(reinterpret_cast<const uint8_t*>(stream.data() + at), length);
    at += length;
    ASSERT_EQ(Held(buffer), stream.substr(at - std::min<size_t>(at, 1000), std::min<size_t>(at, 1000)));
  }
}

TEST(ReplayBuffer, ZeroCapacityHoldsNothing) {
  ReplayBuffer buffer(0);
  Append(buffer, "abc");
  EXPECT_EQ(buffer.Size(), 0u);
  EXPECT_TRUE(buffer.View().first.empty());
  EXPECT_EQ(Held(buffer), "");
}

}  // namespace
}  // namespace veltor
