// The socket object and the relay's own endpoints: connecting, name and peer
// look-ups, opening the listen port and the server connection, the lines each
// attempt writes, and closing a slot.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "base/Constants.h"
#include "base/Settings.h"
#include "net/NetSocket.h"
#include "net/Resolver.h"
#include "net/Listener.h"
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

bool IsNonBlocking(const NetSocket& socket) {
  const int flags = ::fcntl(socket.Handle(), F_GETFL, 0);
  return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

// A client connection to 127.0.0.1:`port`; nullptr when it was not made in time.
std::unique_ptr<NetSocket> ConnectTo(uint16_t port) {
  auto socket = NetSocket::Create();
  if (!socket->StartConnect(htonl(INADDR_LOOPBACK), port)) return nullptr;
  if (socket->FinishConnect(kPatienceMs) != TransferResult::Done) return nullptr;
  return socket;
}

TEST(NetSocket, ConnectIsRefusedByAClosedPortAndReachesAListener) {
  const uint16_t closedPort = testing::FindFreePort();  // bound and closed again: nothing listens there
  ASSERT_NE(closedPort, 0);
  auto refused = NetSocket::Create();
  ASSERT_TRUE(refused->StartConnect(htonl(INADDR_LOOPBACK), closedPort));
  EXPECT_EQ(refused->FinishConnect(kPatienceMs), TransferResult::Failed);

  FakeServer listener;
  ASSERT_TRUE(listener.Listen());
  auto client = ConnectTo(listener.Port());
  ASSERT_NE(client, nullptr);
  EXPECT_TRUE(IsNonBlocking(*client));
  ASSERT_TRUE(listener.AcceptConnection(kPatience));
  uint32_t peer = 0;
  EXPECT_TRUE(PeerAddress(*client, peer));
  EXPECT_EQ(peer, INADDR_LOOPBACK);
}

TEST(NetSocket, InvalidHandleRefusesEveryOperationAndIsDestroyedQuietly) {
  {
    NetSocket none(kNoSocket);
    EXPECT_FALSE(none.Valid());
    EXPECT_FALSE(none.StartConnect(htonl(INADDR_LOOPBACK), 9));
    EXPECT_EQ(none.FinishConnect(0), TransferResult::Failed);
    uint32_t peer = 0;
    EXPECT_FALSE(PeerAddress(none, peer));
    EXPECT_FALSE(none.Bind(0));
    EXPECT_FALSE(none.SetReuseAddress());
    EXPECT_FALSE(none.Listen(1));
    EXPECT_FALSE(none.SetNonBlocking());
    EXPECT_EQ(none.Accept(), nullptr);
    errno = 0;
  }
  EXPECT_EQ(errno, 0) << "the destructor made a call on the invalid handle: " << std::strerror(errno);
}

TEST(NetSocket, DestructionClosesTheConnection) {
  FakeServer listener;
  ASSERT_TRUE(listener.Listen());
  auto client = ConnectTo(listener.Port());
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(listener.AcceptConnection(kPatience));
  client.reset();
  EXPECT_TRUE(listener.WaitForPeerClose(kPatience));
}

TEST(Names, DottedTextIsReadAsItStandsAndTheSystemResolverUsesTheHostsFile) {
  EXPECT_EQ(ParseDottedAddress("127.0.0.1"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(ParseDottedAddress("10.20.30.40"), htonl(0x0A141E28u));
  EXPECT_EQ(ParseDottedAddress("localhost"), INADDR_NONE);
  EXPECT_EQ(ParseDottedAddress("255.255.255.255"), INADDR_NONE);  // looked up as a name, like any other
  EXPECT_EQ(ntohl(SystemResolver().HostAddress("localhost")) >> 24, 127u);
  EXPECT_EQ(SystemResolver().PeerName(INADDR_LOOPBACK), "localhost");
}

TEST(Names, ALookUpThatHangsIsWaitedForOnlyAsLongAsTheCallerChooses) {
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

TEST(EnsureListenSocket, OpensThePortOnceAndThenLeavesItAlone) {
  RelaySettings settings;
  settings.listenPort = testing::FindFreePort();
  ASSERT_NE(settings.listenPort, 0);
  ServerLink link;

  CapturedOutput first([&] { EnsureListenSocket(link, settings); });
  EXPECT_TRUE(IsLogLine(first.Out(), "listen socket created on port " + std::to_string(settings.listenPort)));
  EXPECT_EQ(first.Err(), "");
  ASSERT_NE(link.listenSocket, nullptr);
  EXPECT_TRUE(IsNonBlocking(*link.listenSocket));

  EXPECT_NE(ConnectTo(settings.listenPort), nullptr);

  const NetSocket* opened = link.listenSocket.get();
  CapturedOutput second([&] { EnsureListenSocket(link, settings); });
  EXPECT_EQ(second.Out(), "");
  EXPECT_EQ(second.Err(), "");
  EXPECT_EQ(link.listenSocket.get(), opened);
}

TEST(EnsureListenSocket, ReportsAPortHeldByAnotherListenerAndStaysEmpty) {
  FakeServer holder;
  ASSERT_TRUE(holder.Listen());
  RelaySettings settings;
  settings.listenPort = holder.Port();
  ServerLink link;

  CapturedOutput captured([&] { EnsureListenSocket(link, settings); });
  EXPECT_EQ(captured.Out(), "");
  EXPECT_TRUE(IsLogLine(captured.Err(), "Unable to create listening socket\\. Port might be in use"));
  EXPECT_EQ(link.listenSocket, nullptr);
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

TEST(CloseEndpoints, EachClosesWithItsLineAndAnEmptySlotQuietly) {
  FakeServer server;
  ASSERT_TRUE(server.Listen());
  RelaySettings settings;
  settings.serverHost = "127.0.0.1";
  settings.serverPort = server.Port();
  settings.listenPort = testing::FindFreePort();
  ASSERT_NE(settings.listenPort, 0);
  ServerLink link;
  CapturedOutput opening([&] {
    EnsureServerSocket(link, settings, SystemResolver());
    EnsureListenSocket(link, settings);
  });
  ASSERT_NE(link.serverSocket, nullptr) << opening.Err();
  ASSERT_NE(link.listenSocket, nullptr) << opening.Err();
  ASSERT_TRUE(server.AcceptConnection(kPatience));

  CapturedOutput serverClosed([&] { CloseServerSocket(link); });
  EXPECT_TRUE(IsLogLine(serverClosed.Out(), "server socket disconnected"));
  EXPECT_EQ(serverClosed.Err(), "");
  EXPECT_EQ(link.serverSocket, nullptr);
  EXPECT_TRUE(server.WaitForPeerClose(kPatience));

  CapturedOutput listenClosed([&] { CloseListenSocket(link); });
  EXPECT_TRUE(IsLogLine(listenClosed.Out(), "listen socket disconnected"));
  EXPECT_EQ(listenClosed.Err(), "");
  EXPECT_EQ(link.listenSocket, nullptr);
  EXPECT_EQ(ConnectTo(settings.listenPort), nullptr) << "the port still listens";

  CapturedOutput bothEmpty([&] {
    CloseServerSocket(link);
    CloseListenSocket(link);
  });
  EXPECT_EQ(bothEmpty.Out(), "");
  EXPECT_EQ(bothEmpty.Err(), "");
}

}  // namespace
}  // namespace veltor
