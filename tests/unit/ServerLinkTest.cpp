// The connection to the upstream server: the server's address text, opening
// the connection through a name look-up or without one, the lines each attempt
// writes, and the close with its line.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <string>

#include "base/Constants.h"
#include "base/Settings.h"
#include "net/ServerLink.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/FakeResolver.h"
#include "tests/support/FakeServer.h"
#include "tests/support/Loopback.h"

namespace veltor {
namespace {

using testing::CapturedOutput;
using testing::FakeServer;
using testing::IsLogLine;

constexpr int kPatienceMs = 20000;  // far beyond any loopback connect, even on a loaded machine
constexpr std::chrono::milliseconds kPatience{kPatienceMs};

TEST(ServerAddressText, DottedTextIsReadAsItStandsAndAnythingElseIsAName) {
  EXPECT_EQ(ParseDottedAddress("127.0.0.1"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(ParseDottedAddress("10.20.30.40"), htonl(0x0A141E28u));
  EXPECT_EQ(ParseDottedAddress("localhost"), INADDR_NONE);
  EXPECT_EQ(ParseDottedAddress("255.255.255.255"), INADDR_NONE);  // looked up as a name, like any other
}

TEST(EnsureServerSocket, ReportsAServerThatCannotBeReachedAndStaysEmpty) {
  RelaySettings settings;
  settings.serverHost = "127.0.0.1";
  settings.serverPort = testing::FindFreePort();  // bound and closed again: nothing listens there
  ASSERT_NE(settings.serverPort, 0);
  testing::FakeResolver resolver;
  ServerLink link;

  for (const char* host : {"127.0.0.1", "no-such-host"}) {
    SCOPED_TRACE(host);
    settings.serverHost = host;
    CapturedOutput captured([&] {
      EnsureServerSocket(link, settings, resolver);
      for (int i = 0; i < kPatienceMs && link.connecting; i += 10) AdvanceServerConnect(link, settings, 10);
    });
    EXPECT_EQ(captured.Out(), "");
    EXPECT_TRUE(IsLogLine(captured.Err(), "Unable to connect to server\\. Check address and port"));
    EXPECT_EQ(link.serverSocket, nullptr);
    EXPECT_EQ(link.connecting, nullptr);
  }
}

TEST(EnsureServerSocket, ConnectsOnceAndNamesTheServerAsConfigured) {
  FakeServer server;
  ASSERT_TRUE(server.Listen());
  const std::string port = std::to_string(server.Port());
  testing::FakeResolver resolver;
  resolver.hosts["console.example"] = htonl(INADDR_LOOPBACK);
  for (const std::string host : {"127.0.0.1", "console.example"}) {
    SCOPED_TRACE(host);
    RelaySettings settings;
    settings.serverHost = host;
    settings.serverPort = server.Port();
    ServerLink link;

    CapturedOutput first([&] { EnsureServerSocket(link, settings, resolver); });
    const std::string shownHost = host == "127.0.0.1" ? R"(127\.0\.0\.1)" : R"(console\.example)";
    EXPECT_TRUE(IsLogLine(first.Out(), "server socket created to " + shownHost + ":" + port));
    EXPECT_EQ(first.Err(), "");
    ASSERT_NE(link.serverSocket, nullptr);
    EXPECT_TRUE(server.AcceptConnection(kPatience));

    const ServerStream* opened = link.serverSocket.get();
    CapturedOutput second([&] { EnsureServerSocket(link, settings, resolver); });
    EXPECT_EQ(second.Out(), "");
    EXPECT_EQ(second.Err(), "");
    EXPECT_EQ(link.serverSocket.get(), opened);
  }
}

TEST(EnsureServerSocket, ANameServerThatHangsHoldsTheCallerOnlyAMomentAndCountsInTheConnectBound) {
  testing::FakeResolver resolver;
  resolver.hang = std::chrono::milliseconds(kPatienceMs);
  RelaySettings settings;
  settings.serverHost = "console.example";
  settings.serverPort = 9;
  ServerLink link;
  const auto started = std::chrono::steady_clock::now();
  CapturedOutput captured([&] {
    EnsureServerSocket(link, settings, resolver);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    while (link.connecting && std::chrono::steady_clock::now() - started < std::chrono::seconds(15)) {
      AdvanceServerConnect(link, settings, 10);
    }
  });
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, std::chrono::milliseconds(kConnectTimeoutMs - 100));
  EXPECT_LT(took, std::chrono::milliseconds(kConnectTimeoutMs + 3000));
  EXPECT_TRUE(IsLogLine(captured.Err(), "Unable to connect to server\\. Check address and port"));
}

TEST(CloseServerSocket, ClosesWithItsLineAndAnEmptySlotQuietly) {
  FakeServer server;
  ASSERT_TRUE(server.Listen());
  RelaySettings settings;
  settings.serverHost = "127.0.0.1";
  settings.serverPort = server.Port();
  testing::FakeResolver resolver;
  ServerLink link;
  CapturedOutput opening([&] { EnsureServerSocket(link, settings, resolver); });
  ASSERT_NE(link.serverSocket, nullptr) << opening.Err();
  ASSERT_TRUE(server.AcceptConnection(kPatience));

  CapturedOutput closed([&] { CloseServerSocket(link); });
  EXPECT_TRUE(IsLogLine(closed.Out(), "server socket disconnected"));
  EXPECT_EQ(closed.Err(), "");
  EXPECT_EQ(link.serverSocket, nullptr);
  EXPECT_TRUE(server.WaitForPeerClose(kPatience));

  CapturedOutput again([&] { CloseServerSocket(link); });
  EXPECT_EQ(again.Out(), "");
  EXPECT_EQ(again.Err(), "");
}

}  // namespace
}  // namespace veltor
