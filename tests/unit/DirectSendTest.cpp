// The main thread's own send to a client: what it hands the socket itself
// and what it leaves to the worker reach the client once and in queue order.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <chrono>
#include <memory>
#include <string>

#include "clients/ClientConnection.h"
#include "tests/support/Patterns.h"
#include "tests/support/SocketPair.h"

namespace veltor {
namespace {

using namespace std::chrono_literals;
using namespace testing;

// Bytes the socket holds that its peer has not acknowledged yet.
int Unacknowledged(int fd) {
  int bytes = -1;
  return ::ioctl(fd, SIOCOUTQ, &bytes) == 0 ? bytes : -1;
}

TEST(DirectSend, ABlockHandedOnWhileTheWorkerIsStillSendingTheLastOneWaitsForIt) {
  // Catches a direct send beside a worker still sending: it would overtake that block.
  // Small segments, so the client's reading opens the window a little at a time.
  LoopbackPair pair = MakePair({.peerReceive = 4096, .relaySend = 4096, .peerMaxSegment = kSmallestSegmentBytes});
  ASSERT_TRUE(pair.relay);
  const int relayFd = pair.relay->Handle();
  ClientConnection record(kLoopbackAddress, false, 0, std::move(pair.relay), Frames{});
  ASSERT_TRUE(record.Start());

  // Blocks for a client that reads nothing, until the socket takes only part
  // of one: the worker has the rest, the last queued bytes, and waits for room.
  std::string handedOn;
  ASSERT_TRUE(WaitUntil([&] {
    const std::string block = Pattern(2000, handedOn.size() / 2000);
    Queue(record, block);
    handedOn += block;
    return WaitUntil([&] { return record.queuedBytes.load() == 0; }) &&
           WaitUntilQuiet([&] { return Unacknowledged(relayFd); }, 50ms) &&
           record.bytesSent.load() < handedOn.size();
  }));

  // The client reads a little at a time until the relay's kernel sends a
  // segment more and frees its room, too little to wake the worker.
  const int full = Unacknowledged(relayFd);
  std::string got;
  ASSERT_TRUE(WaitUntil([&] {
    got += ReadExactly(pair.peer.get(), 300, 10ms);
    return Unacknowledged(relayFd) < full;
  }));
  const std::string last = Pattern(kChunkMaxBytes, 99);
  Queue(record, last);

  const std::string expected = handedOn + last;
  got += ReadExactly(pair.peer.get(), expected.size() - got.size());
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

}  // namespace
}  // namespace veltor
