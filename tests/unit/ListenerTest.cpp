// The relay's listen socket: opening the port once, a port another listener
// holds, the wait for a pending connection, and the close with its line.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <string>

#include "base/Settings.h"
#include "net/Listener.h"
#include "net/ServerLink.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/FakeServer.h"
#include "tests/support/Loopback.h"

namespace veltor {
namespace {

using testing::CapturedOutput;
using testing::IsLogLine;
using testing::OwnedFd;

constexpr int kPatienceMs = 20000;  // far beyond any loopback connect, even on a loaded machine

bool IsNonBlocking(const NetSocket& socket) {
  const int flags = ::fcntl(socket.Handle(), F_GETFL, 0);
  return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

// A link whose listen socket is open on a free port, its line swallowed.
bool OpenListener(ServerLink& link, RelaySettings& settings) {
  settings.listenPort = testing::FindFreePort();
  CapturedOutput opening([&] { EnsureListenSocket(link, settings); });
  return link.listenSocket != nullptr;
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

  EXPECT_GE(OwnedFd(testing::ConnectLoopback(settings.listenPort)).get(), 0);

  const NetSocket* opened = link.listenSocket.get();
  CapturedOutput second([&] { EnsureListenSocket(link, settings); });
  EXPECT_EQ(second.Out(), "");
  EXPECT_EQ(second.Err(), "");
  EXPECT_EQ(link.listenSocket.get(), opened);
}

TEST(EnsureListenSocket, ReportsAPortHeldByAnotherListenerAndStaysEmpty) {
  testing::FakeServer holder;
  ASSERT_TRUE(holder.Listen());
  RelaySettings settings;
  settings.listenPort = holder.Port();
  ServerLink link;

  CapturedOutput captured([&] { EnsureListenSocket(link, settings); });
  EXPECT_EQ(captured.Out(), "");
  EXPECT_TRUE(IsLogLine(captured.Err(), "Unable to create listening socket\\. Port might be in use"));
  EXPECT_EQ(link.listenSocket, nullptr);
}

TEST(WaitForPendingConnection, IdleUntilAClientConnectsThenDone) {
  RelaySettings settings;
  ServerLink link;
  ASSERT_TRUE(OpenListener(link, settings));
  EXPECT_EQ(WaitForPendingConnection(*link.listenSocket, 0), TransferResult::Idle);

  const OwnedFd client(testing::ConnectLoopback(settings.listenPort));
  ASSERT_GE(client.get(), 0);
  EXPECT_EQ(WaitForPendingConnection(*link.listenSocket, kPatienceMs), TransferResult::Done);
}

TEST(CloseListenSocket, ClosesWithItsLineAndAnEmptySlotQuietly) {
  RelaySettings settings;
  ServerLink link;
  ASSERT_TRUE(OpenListener(link, settings));

  CapturedOutput closed([&] { CloseListenSocket(link); });
  EXPECT_TRUE(IsLogLine(closed.Out(), "listen socket disconnected"));
  EXPECT_EQ(closed.Err(), "");
  EXPECT_EQ(link.listenSocket, nullptr);
  EXPECT_LT(OwnedFd(testing::ConnectLoopback(settings.listenPort)).get(), 0) << "the port still listens";

  CapturedOutput again([&] { CloseListenSocket(link); });
  EXPECT_EQ(again.Out(), "");
  EXPECT_EQ(again.Err(), "");
}

}  // namespace
}  // namespace veltor
