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
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <string>

#include "core/Settings.h"
#include "net/NetSocket.h"
#include "net/ServerLink.h"
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

// True when the connection's other end has been closed: end of stream.
bool SeesEndOfStream(int fd) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, kPatienceMs) != 1) return false;
  char byte = 0;
  return ::recv(fd, &byte, 1, 0) == 0;
}

TEST(NetSocket, ConnectFailsForUnresolvedNamesAndRefusedPortsAndReachesAListener) {
  auto unresolved = NetSocket::Create(SOCK_STREAM);
  EXPECT_FALSE(unresolved->Connect("no-such-host.invalid", 9, kPatienceMs));

  const uint16_t closedPort = testing::FindFreePort();  // bound and closed again: nothing listens there
  ASSERT_NE(closedPort, 0);
  auto refused = NetSocket::Create(SOCK_STREAM);
  EXPECT_FALSE(refused->Connect("127.0.0.1", closedPort, kPatienceMs));

  Listener listener;
  ASSERT_NE(listener.port, 0);
  for (const char* host : {"127.0.0.1", "localhost"}) {
    auto client = NetSocket::Create(SOCK_STREAM);
    EXPECT_TRUE(client->Connect(host, listener.port, kPatienceMs)) << host;
    const int accepted = listener.Accept();
    EXPECT_GE(accepted, 0) << host;
    if (accepted >= 0) ::close(accepted);
  }
}

TEST(NetSocket, InvalidHandleRefusesEveryOperationAndIsDestroyedQuietly) {
  {
    NetSocket none(NetSocket::kInvalidHandle);
    EXPECT_FALSE(none.Valid());
    EXPECT_FALSE(none.Connect("127.0.0.1", 9, 1000));
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
  auto client = NetSocket::Create(SOCK_STREAM);
  ASSERT_TRUE(client->Connect("127.0.0.1", listener.port, kPatienceMs));
  const int accepted = listener.Accept();
  ASSERT_GE(accepted, 0);
  client.reset();
  EXPECT_TRUE(SeesEndOfStream(accepted));
  ::close(accepted);
}

TEST(ResolveHost, TriesDottedTextThenLooksUpNames) {
  EXPECT_EQ(ResolveHost("127.0.0.1"), htonl(INADDR_LOOPBACK));
  EXPECT_EQ(ResolveHost("10.20.30.40"), htonl(0x0A141E28u));
  EXPECT_EQ(ntohl(ResolveHost("localhost")) >> 24, 127u);
  EXPECT_EQ(ResolveHost("no-such-host.invalid"), INADDR_NONE);
}

TEST(GetPeerInfo, FillsEachAskedOutputAndCutsTextsToTheirBuffers) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(4242);
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  uint16_t port = 0;
  uint32_t address = 0;
  char dotted[INET_ADDRSTRLEN];
  char host[200];
  EXPECT_TRUE(GetPeerInfo(peer, &port, &address, dotted, sizeof dotted, host, sizeof host));
  EXPECT_EQ(port, 4242);
  EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
  EXPECT_STREQ(dotted, "127.0.0.1");
  EXPECT_STREQ(host, "localhost");

  // Short buffers: size - 1 characters and a terminator, nothing past them.
  char shortDotted[8];
  char shortHost[8];
  std::memset(shortDotted, '#', sizeof shortDotted);
  std::memset(shortHost, '#', sizeof shortHost);
  EXPECT_TRUE(GetPeerInfo(peer, nullptr, nullptr, shortDotted, 4, shortHost, 5));
  EXPECT_STREQ(shortDotted, "127");
  EXPECT_STREQ(shortHost, "loca");
  EXPECT_EQ(shortDotted[4], '#');
  EXPECT_EQ(shortHost[5], '#');

  EXPECT_TRUE(GetPeerInfo(peer, nullptr, nullptr, nullptr, 0, nullptr, 0));

  // TEST-NET-1 (192.0.2.0/24) has no reverse entry anywhere.
  peer.sin_addr.s_addr = htonl(0xC0000201u);
  std::memset(host, 'x', sizeof host);
  EXPECT_TRUE(GetPeerInfo(peer, nullptr, nullptr, dotted, sizeof dotted, host, sizeof host));
  EXPECT_STREQ(dotted, "192.0.2.1");
  EXPECT_STREQ(host, "");
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

  auto client = NetSocket::Create(SOCK_STREAM);
  EXPECT_TRUE(client->Connect("127.0.0.1", settings.listenPort, kPatienceMs));

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
  ServerLink link;

  Captured captured = Capture([&] { EnsureServerSocket(link, settings); });
  EXPECT_EQ(captured.out, "");
  EXPECT_TRUE(IsLogLine(captured.err, "Unable to connect to server\\. Check address and port"));
  EXPECT_EQ(link.serverSocket, nullptr);

  settings.serverHost = "no-such-host.invalid";
  captured = Capture([&] { EnsureServerSocket(link, settings); });
  EXPECT_EQ(captured.out, "");
  EXPECT_TRUE(IsLogLine(captured.err, "Unable to connect to server\\. Check address and port"));
  EXPECT_EQ(link.serverSocket, nullptr);
}

TEST(EnsureServerSocket, ConnectsOnceAndNamesTheServerAsConfigured) {
  Listener server;
  ASSERT_NE(server.port, 0);
  const std::string port = std::to_string(server.port);
  for (const std::string host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    RelaySettings settings;
    settings.serverHost = host;
    settings.serverPort = server.port;
    ServerLink link;

    const Captured first = Capture([&] { EnsureServerSocket(link, settings); });
    const std::string shownHost = host == "localhost" ? "localhost" : R"(127\.0\.0\.1)";
    EXPECT_TRUE(IsLogLine(first.out, "server socket created to " + shownHost + ":" + port));
    EXPECT_EQ(first.err, "");
    ASSERT_NE(link.serverSocket, nullptr);
    EXPECT_TRUE(IsNonBlocking(*link.serverSocket));
    const int accepted = server.Accept();
    EXPECT_GE(accepted, 0);

    const NetSocket* opened = link.serverSocket.get();
    const Captured second = Capture([&] { EnsureServerSocket(link, settings); });
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(link.serverSocket.get(), opened);
    if (accepted >= 0) ::close(accepted);
  }
}

TEST(CloseEndpoint, NamesTheRelaysOwnEndpointsAndClosesAnySlotQuietlyOtherwise) {
  Listener server;
  ASSERT_NE(server.port, 0);
  RelaySettings settings;
  settings.serverHost = "127.0.0.1";
  settings.serverPort = server.port;
  settings.listenPort = testing::FindFreePort();
  ASSERT_NE(settings.listenPort, 0);
  ServerLink link;
  const Captured opening = Capture([&] {
    EnsureServerSocket(link, settings);
    EnsureListenSocket(link, settings);
  });
  ASSERT_NE(link.serverSocket, nullptr) << opening.err;
  ASSERT_NE(link.listenSocket, nullptr) << opening.err;
  const int serverSide = server.Accept();
  ASSERT_GE(serverSide, 0);

  // A denied client: a connection in a slot of its own, outside the link.
  std::unique_ptr<NetSocket> client = NetSocket::Create(SOCK_STREAM);
  ASSERT_TRUE(client->Connect("127.0.0.1", server.port, kPatienceMs));
  const int clientSide = server.Accept();
  ASSERT_GE(clientSide, 0);

  Captured captured = Capture([&] { CloseEndpoint(link, link.serverSocket); });
  EXPECT_TRUE(IsLogLine(captured.out, "server socket disconnected"));
  EXPECT_EQ(captured.err, "");
  EXPECT_EQ(link.serverSocket, nullptr);
  EXPECT_TRUE(SeesEndOfStream(serverSide));

  captured = Capture([&] { CloseEndpoint(link, link.listenSocket); });
  EXPECT_TRUE(IsLogLine(captured.out, "listen socket disconnected"));
  EXPECT_EQ(captured.err, "");
  EXPECT_EQ(link.listenSocket, nullptr);
  auto late = NetSocket::Create(SOCK_STREAM);
  EXPECT_FALSE(late->Connect("127.0.0.1", settings.listenPort, kPatienceMs)) << "the port still listens";

  captured = Capture([&] {
    CloseEndpoint(link, link.serverSocket);
    CloseEndpoint(link, link.listenSocket);
  });
  EXPECT_EQ(captured.out, "");
  EXPECT_EQ(captured.err, "");

  captured = Capture([&] { CloseEndpoint(link, client); });
  EXPECT_EQ(captured.out, "");
  EXPECT_EQ(captured.err, "");
  EXPECT_EQ(client, nullptr);
  EXPECT_TRUE(SeesEndOfStream(clientSide));

  ::close(serverSide);
  ::close(clientSide);
}

}  // namespace
}  // namespace veltor
