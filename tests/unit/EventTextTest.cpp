// Known answers for the event-line and table formats, byte for byte.
#include "base/EventText.h"

#include <gtest/gtest.h>

#include "base/Ipv4.h"
#include "tests/support/Loopback.h"

namespace veltor {
namespace {

using testing::Ip;

TEST(EventText, AddressesPlainAndPadded) {
  EXPECT_EQ(DottedAddress(Ip(10, 1, 2, 3)), "10.1.2.3");
  EXPECT_EQ(DottedAddress(0), "0.0.0.0");
  EXPECT_EQ(PaddedAddress(Ip(10, 1, 2, 3)), " 10.  1.  2.  3");
  EXPECT_EQ(PaddedAddress(0xFFFFFFFFu), "255.255.255.255");
}

TEST(EventText, DurationsAndRates) {
  EXPECT_EQ(ClockDuration(0), "0:00:00");
  EXPECT_EQ(ClockDuration(3725), "1:02:05");
  EXPECT_EQ(ClockDuration(65, 4), "   0:01:05");
  EXPECT_EQ(ClockDuration(360000, 4), " 100:00:00");
  EXPECT_EQ(BytesPerSecond(1234, 65), 18u);
  // Less than one second divides by one, a clock stepped back included.
  EXPECT_EQ(BytesPerSecond(1234, 0), 1234u);
  EXPECT_EQ(BytesPerSecond(1234, -3), 1234u);
}

TEST(EventText, ConnectionAndDepartureLines) {
  EXPECT_EQ(ConnText(Ip(127, 0, 0, 1), "localhost"), "Conn: 127.0.0.1 (localhost)... ");
  EXPECT_EQ(ConnText(Ip(10, 0, 0, 7), ""), "Conn: 10.0.0.7 ()... ");
  EXPECT_EQ(DiscText(Ip(10, 1, 2, 3), 1234, 65), "Disc: 10.1.2.3. 1234 bytes in 0:01:05 (18 BPS)\n");
  EXPECT_EQ(DiscText(Ip(127, 0, 0, 1), 0, 0), "Disc: 127.0.0.1. 0 bytes in 0:00:00 (0 BPS)\n");
  EXPECT_EQ(DiscText(Ip(127, 0, 0, 1), 5'000'000'000u, 3600),
            "Disc: 127.0.0.1. 5000000000 bytes in 1:00:00 (1388888 BPS)\n");
  EXPECT_EQ(TimeLimitText(Ip(192, 168, 0, 10), 1234, 5),
            "client 192.168.0.10 time limit hit. 1234 bytes in 5 seconds (246 BPS)\n");
  EXPECT_EQ(TimeLimitText(Ip(192, 168, 0, 10), 100, 0),
            "client 192.168.0.10 time limit hit. 100 bytes in 0 seconds (100 BPS)\n");
}

TEST(EventText, StatusRowsAndRuleEchoes) {
  EXPECT_EQ(StatusRowText(1, Ip(127, 0, 0, 1), 1234, 3725, 17),
            "  1.    127.  0.  0.  1           1234       1:02:05          17");
  EXPECT_EQ(StatusRowText(12, Ip(10, 1, 2, 3), 0, 360000, 0),
            " 12.     10.  1.  2.  3              0     100:00:00           0");

  MaskRule allow;
  allow.address = Ip(10, 0, 0, 0);
  allow.mask = Ip(255, 0, 0, 0);
  allow.timeLimit = 300;
  allow.passRx = true;
  allow.allow = true;
  EXPECT_EQ(RuleEchoText(1, allow), "Mask   1: Allow   10.  0.  0.  0  255.  0.  0.  0    PassRx NoDupe  300\n");
  MaskRule deny;
  deny.dupeOK = true;
  EXPECT_EQ(RuleEchoText(12, deny), "Mask  12:  Deny    0.  0.  0.  0    0.  0.  0.  0  NoPassRx DupeOK  0\n");
}

}  // namespace
}  // namespace veltor
