// Name look-ups off the loop: the system's name service behind a Resolver, and
// a pending look-up that is waited for only as long as its caller chooses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>

#include "net/Resolver.h"
#include "tests/support/FakeResolver.h"

namespace veltor {
namespace {

constexpr int kPatienceMs = 20000;  // far beyond any look-up in a table

TEST(SystemResolver, AnswersFromTheHostsFileBothWays) {
  EXPECT_EQ(ntohl(SystemResolver().HostAddress("localhost")) >> 24, 127u);
  EXPECT_EQ(SystemResolver().PeerName(INADDR_LOOPBACK), "localhost");
}

TEST(PendingLookup, ALookUpThatHangsIsWaitedForOnlyAsLongAsTheCallerChooses) {
  testing::FakeResolver resolver;
  resolver.names[0x0A000001u] = "console-a";
  resolver.hang = std::chrono::milliseconds(kPatienceMs);
  PendingLookup hung = StartPeerNameLookup(resolver, 0x0A000001u);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(hung.Wait(50));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(hung.Answer().name, "");

  testing::FakeResolver answering;
  answering.names[0x0A000001u] = "console-a";
  PendingLookup quick = StartPeerNameLookup(answering, 0x0A000001u);
  ASSERT_TRUE(quick.Wait(kPatienceMs));
  EXPECT_EQ(quick.Answer().name, "console-a");
}

}  // namespace
}  // namespace veltor
