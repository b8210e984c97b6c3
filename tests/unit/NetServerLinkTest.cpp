// The socket object and the relay's own endpoints: connecting, name and peer
// look-ups, opening the listen port and the server connection, the lines each
// attempt writes, and closing a slot.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <string>

#include "base/Settings.h"
#include "net/NetSocket.h"
#include "base/Constants.h"
#include "net/Resolver.h"
#include "net/Listener.h"
#include "net/ServerLink.h"
#include "tests/support/FakeResolver.h"
#include "tests/support/Ports.h"

namespace veltor {
namespace {

constexpr int kPatienceMs = 20000;  // far beyond any loopback connect, even on a loaded machine

struct Captured {
  std::string out;
  std::string err;
};

// Runs `action` with standard output and standard error diverted.
Captured Capture(const std::function<void()>& action) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  action();
  Captured captured;
  captured.out = ::testing::internal::GetCapturedStdout();
  captured.err = ::testing::internal::GetCapturedStderr();
  return captured;
}

// One whole log line: the timestamp, ": " and `body` (a regular expression).
::testing::AssertionResult IsLogLine(const std::string& text, const std::string& body) {
  static const std::string kTimestamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d: )";
  if (std::regex_match(text, std::regex("^" + kTimestamp + body + "\n$"))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "'" << text << "' is not one line of '" << body << "'";
}

bool IsNonBlocking(const NetSocket& socket) {
  const int flags = ::fcntl(socket.Handle(), F_GETFL, 0);
  return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

// A plain socket listening on 127.0.0.1 at a port the kernel picks: a stand-in
// server, or a program that holds a port.
struct Listener {
  int fd = -1;
  uint16_t port = 0;

  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (fd >= 0 && ::bind(fd, raw, sizeof address) == 0 && ::listen(fd, 4) == 0 &&
        ::getsockname(fd, raw, &length) == 0) {
      port = ntohs(address.sin_port);
    }
  }
  ~Listener() {
    if (fd >= 0) ::close(fd);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // The next connection that arrives, or -1 when none comes in time.
  int Accept() const {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, kPatienceMs) != 1) return -1;
    return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  }
};

// A client connection to 127.0.0.1:`port`; nullptr when it was not made in time.
std::unique_ptr<NetSocket> ConnectTo(uint16_t port) {
  auto socket = NetSocket::Create();
  if (!socket->StartConnect(htonl(INADDR_LOOPBACK), port)) return nullptr;
  if (socket->FinishConnect(kPatienceMs) != NetSocket::ConnectState::Connected) return nullptr;
  return socket;
}

// True when the connection's other end has been closed: end of stream.
bool SeesEndOfStream(int fd) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, kPatienceMs) != 1) return false;
  char byte = 0;
  return ::recv(fd, &byte, 1, 0) == 0;
}

TEST(NetSocket, ConnectIsRefusedByAClosedPortAndReachesAListener) {
  const uint16_t closedPort = testing::FindFreePort();  // bound and closed again: nothing listens there
  ASSERT_NE(closedPort, 0);
  auto refused = NetSocket::Create();
  ASSERT_TRUE(refused->StartConnect(htonl(INADDR_LOOPBACK), closedPort));
  EXPECT_EQ(refused->FinishConnect(kPatienceMs), NetSocket::ConnectState::Failed);

  Listener listener;
  ASSERT_NE(listener.port, 0);
  auto client = ConnectTo(listener.port);
  ASSERT_NE(client, nullptr);
  EXPECT_TRUE(IsNonBlocking(*client));
  const int accepted = listener.Accept();
  ASSERT_GE(accepted, 0);
  uint32_t peer = 0;
  EXPECT_TRUE(PeerAddress(*client, peer));
  EXPECT_EQ(peer, INADDR_LOOPBACK);
  ::close(accepted);
}

TEST(NetSocket, InvalidHandleRefusesEveryOperationAndIsDestroyedQuietly) {
  {
    NetSocket none(NetSocket::kInvalidHandle);
    EXPECT_FALSE(none.Valid());
    EXPECT_FALSE(none.StartConnect(htonl(INADDR_LOOPBACK), 9));
    EXPECT_EQ(none.FinishConnect(0), NetSocket::ConnectState::Failed);
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
  Listener listener;
  ASSERT_NE(listener.port, 0);
  auto client = ConnectTo(listener.port);
  ASSERT_NE(client, nullptr);
  const int accepted = listener.Accept();
  ASSERT_GE(accepted, 0);
  client.reset();
  EXPECT_TRUE(SeesEndOfStream(accepted));
  ::close(accepted);
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
  PendingLookup hung = LookUpPeerName(resolver, 0x0A000001u);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(hung.Wait(50));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(hung.Answer().name, "");

  testing::FakeResolver answering;
  answering.names[0x0A000001u] = "console-a";
  PendingLookup quick = LookUpPeerName(answering, 0x0A000001u);
  ASSERT_TRUE(quick.Wait(kPatienceMs));
  EXPECT_EQ(quick.Answer().name, "console-a");
}

TEST(EnsureListenSocket, OpensThePortOnceAndThenLeavesItAlone) {
  RelaySettings settings;
  settings.listenPort = testing::FindFreePort();
  ASSERT_NE(settings.listenPort, 0);
  ServerLink link;

  const Captured first = Capture([&] { EnsureListenSocket(link, settings); });
  EXPECT_TRUE(IsLogLine(first.out, "listen socket created on port " + std::to_string(settings.listenPort)));
  EXPECT_EQ(first.err, "");
  ASSERT_NE(link.listenSocket, nullptr);
  EXPECT_TRUE(IsNonBlocking(*link.listenSocket));

  EXPECT_NE(ConnectTo(settings.listenPort), nullptr);

  const NetSocket* opened = link.listenSocket.get();
  const Captured second = Capture([&] { EnsureListenSocket(link, settings); });
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, "");
  EXPECT_EQ(link.listenSocket.get(), opened);
}

TEST(EnsureListenSocket, ReportsAPortHeldByAnotherListenerAndStaysEmpty) {
  Listener holder;
  ASSERT_NE(holder.port, 0);
  RelaySettings settings;
  settings.listenPort = holder.port;
  ServerLink link;

  const Captured captured = Capture([&] { EnsureListenSocket(link, settings); });
  EXPECT_EQ(captured.out, "");
  EXPECT_TRUE(IsLogLine(captured.err, "Unable to create listening socket\\. Port might be in use"));
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
    const Captured captured = Capture([&] {
      EnsureServerSocket(link, settings, resolver);
      for (int i = 0; i < kPatienceMs && link.connecting; i += 10) AdvanceServerConnect(link, settings, 10);
    });
    EXPECT_EQ(captured.out, "");
    EXPECT_TRUE(IsLogLine(captured.err, "Unable to connect to server\\. Check address and port"));
    EXPECT_EQ(link.serverSocket, nullptr);
    EXPECT_EQ(link.connecting, nullptr);
  }
}

TEST(EnsureServerSocket, ConnectsOnceAndNamesTheServerAsConfigured) {
  Listener server;
  ASSERT_NE(server.port, 0);
  const std::string port = std::to_string(server.port);
  testing::FakeResolver resolver;
  resolver.hosts["console.example"] = htonl(INADDR_LOOPBACK);
  for (const std::string host : {"127.0.0.1", "console.example"}) {
    SCOPED_TRACE(host);
    RelaySettings settings;
    settings.serverHost = host;
    settings.serverPort = server.port;
    ServerLink link;

    const Captured first = Capture([&] { EnsureServerSocket(link, settings, resolver); });
    const std::string shownHost = host == "127.0.0.1" ? R"(127\.0\.0\.1)" : R"(console\.example)";
    EXPECT_TRUE(IsLogLine(first.out, "server socket created to " + shownHost + ":" + port));
    EXPECT_EQ(first.err, "");
    ASSERT_NE(link.serverSocket, nullptr);
    EXPECT_TRUE(IsNonBlocking(link.serverSocket->Socket()));
    const int accepted = server.Accept();
    EXPECT_GE(accepted, 0);

    const ServerStream* opened = link.serverSocket.get();
    const Captured second = Capture([&] { EnsureServerSocket(link, settings, resolver); });
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(link.serverSocket.get(), opened);
    if (accepted >= 0) ::close(accepted);
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
  const Captured captured = Capture([&] {
    EnsureServerSocket(link, settings, resolver);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    while (link.connecting && std::chrono::steady_clock::now() - started < std::chrono::seconds(15)) {
      AdvanceServerConnect(link, settings, 10);
    }
  });
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, std::chrono::milliseconds(kConnectTimeoutMs - 100));
  EXPECT_LT(took, std::chrono::milliseconds(kConnectTimeoutMs + 3000));
  EXPECT_TRUE(IsLogLine(captured.err, "Unable to connect to server\\. Check address and port"));
}

TEST(CloseEndpoints, EachClosesWithItsLineAndAnEmptySlotQuietly) {
  Listener server;
  ASSERT_NE(server.port, 0);
  RelaySettings settings;
  settings.serverHost = "127.0.0.1";
  settings.serverPort = server.port;
  settings.listenPort = testing::FindFreePort();
  ASSERT_NE(settings.listenPort, 0);
  ServerLink link;
  const Captured opening = Capture([&] {
    EnsureServerSocket(link, settings, SystemResolver());
    EnsureListenSocket(link, settings);
  });
  ASSERT_NE(link.serverSocket, nullptr) << opening.err;
  ASSERT_NE(link.listenSocket, nullptr) << opening.err;
  const int serverSide = server.Accept();
  ASSERT_GE(serverSide, 0);

  Captured captured = Capture([&] { CloseServerSocket(link); });
  EXPECT_TRUE(IsLogLine(captured.out, "server socket disconnected"));
  EXPECT_EQ(captured.err, "");
  EXPECT_EQ(link.serverSocket, nullptr);
  EXPECT_TRUE(SeesEndOfStream(serverSide));

  captured = Capture([&] { CloseListenSocket(link); });
  EXPECT_TRUE(IsLogLine(captured.out, "listen socket disconnected"));
  EXPECT_EQ(captured.err, "");
  EXPECT_EQ(link.listenSocket, nullptr);
  EXPECT_EQ(ConnectTo(settings.listenPort), nullptr) << "the port still listens";

  captured = Capture([&] {
    CloseServerSocket(link);
    CloseListenSocket(link);
  });
  EXPECT_EQ(captured.out, "");
  EXPECT_EQ(captured.err, "");
  ::close(serverSide);
}

}  // namespace
}  // namespace veltor
