// A reader of the relay's output that has stopped reading: standard output or
// standard error is a pipe that is full and stays full, as under a paused
// pager or a logger that hangs. The streams and the shutdown go on without it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <thread>

#include "tests/support/Deadline.h"
#include "tests/support/FakeServer.h"
#include "tests/support/Loopback.h"
#include "tests/support/Patterns.h"
#include "tests/support/RelayHarness.h"

namespace veltor::testing {
namespace {

using namespace std::chrono_literals;

// A pipe shrunk to one page and filled, whose reader never reads: every
// write to it waits. The relay gets the blocking end, as a real reader's pipe.
struct StuckPipe {
  OwnedFd readEnd;
  OwnedFd writeEnd;

  bool Open() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    readEnd = OwnedFd(ends[0]);
    writeEnd = OwnedFd(ends[1]);
    if (::fcntl(writeEnd.get(), F_SETPIPE_SZ, 4096) < 0) return false;
    const int flags = ::fcntl(writeEnd.get(), F_GETFL);
    ::fcntl(writeEnd.get(), F_SETFL, flags | O_NONBLOCK);
    for (int i = 0; i < 1 << 20 && ::write(writeEnd.get(), "#", 1) == 1; ++i) {
    }
    const bool full = errno == EAGAIN;
    ::fcntl(writeEnd.get(), F_SETFL, flags);
    return full;
  }
};

// The relay admits `client` and hands it what the server sends: dots until
// the client is admitted, then a block that must arrive whole and in order.
::testing::AssertionResult StreamsFlow(FakeServer& server, TestClient& client, uint16_t listenPort) {
  const Deadline listening(10s);
  while (!client.Connect(listenPort, 100ms)) {
    if (listening.Expired()) return ::testing::AssertionFailure() << "the listen port never opened";
    std::this_thread::sleep_for(50ms);
  }
  std::string got;
  const Deadline admitted(10s);
  while (got.empty()) {
    if (admitted.Expired() || !server.Send(".")) return ::testing::AssertionFailure() << "nothing reached the client";
    got += client.ReadFor(100ms);
  }
  const std::string data = Pattern(20'000);
  if (!server.Send(data)) return ::testing::AssertionFailure() << "the server could not send";
  const Deadline deadline(10s);
  while (!got.ends_with(data) && !deadline.Expired()) got += client.ReadFor(50ms);
  if (got.ends_with(data) && got.find_first_not_of('.') == got.size() - data.size()) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << got.size() << " bytes arrived, not the dots and the block";
}

// The relay with `stuck` as its standard output (`onStdout`) or standard
// error: streams flow, and SIGTERM ends it within a second with status 0.
void RunWithAStuckReader(bool onStdout) {
  StuckPipe stuck;
  ASSERT_TRUE(stuck.Open());
  FakeServer server;
  ASSERT_TRUE(server.Listen());
  const RelayConfig config = LoopbackConfig(server.Port());
  RelayHarness relay;
  ChildStdio given;
  (onStdout ? given.out : given.err) = stuck.writeEnd.get();
  ASSERT_TRUE(relay.Start(config, given));
  ASSERT_TRUE(server.AcceptConnection(10s));
  for (int i = 0; i < 5; ++i) relay.Process().Signal(SIGUSR1);  // status tables for standard error

  TestClient client;
  EXPECT_TRUE(StreamsFlow(server, client, config.listenPort));

  relay.Process().Signal(SIGTERM);
  int status = -1;
  EXPECT_TRUE(relay.Process().WaitForExit(1s, &status)) << "still running a second after SIGTERM";
  EXPECT_EQ(status, 0);
}

TEST(StuckLogReader, AFullStandardOutputHoldsNeitherTheStreamsNorTheShutdown) {
  // Catches an event-log line written where the relay's loop waits for the reader.
  if (RelayIsWindowsBuild()) GTEST_SKIP() << "a pipe's size and SIGTERM are Linux's";
  RunWithAStuckReader(true);
}

TEST(StuckLogReader, AFullStandardErrorHoldsNeitherTheStreamsNorTheShutdown) {
  // Catches a banner, warning or status table written where the relay's loop waits for the reader.
  if (RelayIsWindowsBuild()) GTEST_SKIP() << "a pipe's size and SIGTERM are Linux's";
  RunWithAStuckReader(false);
}

}  // namespace
}  // namespace veltor::testing
