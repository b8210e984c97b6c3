// The socket object: connecting, refusals, the peer's address, an object
// without a socket, and the close that comes with its end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "base/Ipv4.h"
#include "net/NetSocket.h"
#include "tests/support/FakeServer.h"
#include "tests/support/Loopback.h"

namespace veltor {
namespace {

using testing::FakeServer;

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

TEST(NetSocket, NoSocketRefusesEveryOperationAndIsDestroyedQuietly) {
  {
    NetSocket none(kNoSocket);
    EXPECT_FALSE(none.Valid());
    EXPECT_FALSE(none.StartConnect(htonl(INADDR_LOOPBACK), 9));
    EXPECT_EQ(none.FinishConnect(0), TransferResult::Failed);
    uint32_t peer = 0;
    EXPECT_FALSE(PeerAddress(none, peer));
    EXPECT_FALSE(none.Bind(kAnyAddress, 0));
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

}  // namespace
}  // namespace veltor
