// The two transfer primitives on real loopback connections: chunking, waits
// and their bounds, broken peers, and descriptors beyond the reach of select().
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "net/NetSocket.h"
#include "net/Transfer.h"
#include "platform/WakeSignal.h"
#include "tests/support/Patterns.h"
#include "tests/support/SocketPair.h"

namespace veltor {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;
using testing::LoopbackPair;
using testing::MakePair;
using testing::Pattern;

// Far beyond anything a healthy loopback transfer needs, even on a loaded machine.
constexpr milliseconds kPatience{20000};

milliseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// A pair's `relay` end is the side under test, non-blocking as the relay makes
// every socket it moves data on. A small send buffer there makes a writer fill
// the way to the peer long before a multi-megabyte block has gone out. (The
// peer's receive buffer keeps its default: shrunk to near the loopback segment
// size, it stalls the flow for seconds on zero-window probes.)
constexpr testing::BufferSizes kSmallSendBuffer{.relaySend = 64 * 1024};

void WriteFromPeer(const LoopbackPair& pair, const Bytes& bytes) {
  ASSERT_TRUE(testing::SendFromPeer(pair.peer.get(), {reinterpret_cast<const char*>(bytes.data()), bytes.size()},
                                    kPatience))
      << std::strerror(errno);
}

// Reads up to `length` bytes at the peer, `piece` at a time with `pause`
// after each read; stops early at end of stream or when patience runs out.
Bytes ReadAtPeer(const LoopbackPair& pair, size_t length, size_t piece = 64 * 1024,
                 milliseconds pause = milliseconds(0)) {
  const testing::Deadline deadline(kPatience);
  Bytes received;
  while (received.size() < length && !deadline.Expired()) {
    const std::string got = testing::ReadExactly(pair.peer.get(), std::min(piece, length - received.size()),
                                                 milliseconds(deadline.PollTimeoutMs()));
    if (got.empty()) break;
    received.insert(received.end(), got.begin(), got.end());
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
  }
  return received;
}

// True once `count` bytes wait unread at the relay's side.
bool WaitUntilPendingLocally(const LoopbackPair& pair, int count) {
  return testing::WaitUntil([&] { return testing::Pending(pair.relay->Handle()) >= count; }, kPatience);
}

TransferResult Receive(LoopbackPair& pair, Bytes& into, int waitMs = kReceiveWaitMs) {
  std::unique_ptr<DataChunk> chunk;
  const TransferResult result = ReceiveChunk(pair.relay.get(), chunk, waitMs);
  into = (result == TransferResult::Done && chunk) ? chunk->bytes : Bytes{};
  return result;
}

// A bound that only ends a send that would otherwise hang the test.
SendBound Patiently() {
  const auto giveUpAt = Clock::now() + kPatience;
  return SendBound{[giveUpAt] { return Clock::now() >= giveUpAt; }, -1};
}

TEST(ReceiveChunk, SplitsPendingBytesIntoChunksOfAtMostOneThousandThenIdles) {
  LoopbackPair pair = MakePair();
  ASSERT_TRUE(pair.relay);
  const Bytes sent = Pattern<Bytes>(2500, 1);
  ASSERT_NO_FATAL_FAILURE(WriteFromPeer(pair, sent));
  ASSERT_TRUE(WaitUntilPendingLocally(pair, 2500));

  Bytes chunk;
  ASSERT_EQ(Receive(pair, chunk, 5000), TransferResult::Done);
  EXPECT_EQ(chunk, Bytes(sent.begin(), sent.begin() + 1000));
  ASSERT_EQ(Receive(pair, chunk, 5000), TransferResult::Done);
  EXPECT_EQ(chunk, Bytes(sent.begin() + 1000, sent.begin() + 2000));
  ASSERT_EQ(Receive(pair, chunk, 5000), TransferResult::Done);
  EXPECT_EQ(chunk, Bytes(sent.begin() + 2000, sent.end()));

  // Nothing more: an idle wait, and no stale bytes left in the caller's chunk.
  auto stale = std::make_unique<DataChunk>(DataChunk{Pattern<Bytes>(5, 0)});
  EXPECT_EQ(ReceiveChunk(pair.relay.get(), stale), TransferResult::Idle);
  EXPECT_TRUE(stale == nullptr || stale->Length() == 0) << "an idle receive handed out bytes";
}

TEST(ReceiveChunk, DeliversWhatCameBeforeThePeerClosedThenFails) {
  LoopbackPair pair = MakePair();
  ASSERT_TRUE(pair.relay);
  ASSERT_NO_FATAL_FAILURE(WriteFromPeer(pair, Bytes{'b', 'y', 'e'}));
  pair.peer.Close();

  Bytes chunk;
  ASSERT_EQ(Receive(pair, chunk, 5000), TransferResult::Done);
  EXPECT_EQ(chunk, (Bytes{'b', 'y', 'e'}));
  EXPECT_EQ(Receive(pair, chunk, 5000), TransferResult::Failed);
}

TEST(ReceiveChunk, RaisedWakeSignalCutsTheWaitShortAndIsDrained) {
  LoopbackPair pair = MakePair();
  ASSERT_TRUE(pair.relay);
  WakeSignal wake;
  ASSERT_NE(wake.NativeHandle(), kNoSocket);
  std::unique_ptr<DataChunk> chunk;

  wake.Raise();
  auto start = Clock::now();
  EXPECT_EQ(ReceiveChunk(pair.relay.get(), chunk, 30000, &wake), TransferResult::Idle);
  EXPECT_LT(Since(start), milliseconds(10000));
  EXPECT_FALSE(wake.Wait(0));

  // Raised by another thread while the wait runs, as a worker's wake-ups come.
  std::jthread raiser([&wake] {
    std::this_thread::sleep_for(milliseconds(50));
    wake.Raise();
  });
  start = Clock::now();
  EXPECT_EQ(ReceiveChunk(pair.relay.get(), chunk, 30000, &wake), TransferResult::Idle);
  EXPECT_LT(Since(start), milliseconds(10000));
  raiser.join();
  EXPECT_FALSE(wake.Wait(0));

  // Drained, the signal no longer stands between the wait and real data.
  ASSERT_NO_FATAL_FAILURE(WriteFromPeer(pair, Bytes{1, 2, 3}));
  ASSERT_EQ(ReceiveChunk(pair.relay.get(), chunk, 30000, &wake), TransferResult::Done);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(chunk->bytes, (Bytes{1, 2, 3}));
}

TEST(Transfer, BothPrimitivesFailWithoutAUsableSocket) {
  const Bytes block = Pattern<Bytes>(5, 0);
  NetSocket none(kNoSocket);
  for (NetSocket* socket : {static_cast<NetSocket*>(nullptr), &none}) {
    std::unique_ptr<DataChunk> chunk;
    EXPECT_EQ(ReceiveChunk(socket, chunk), TransferResult::Failed);
    EXPECT_EQ(SendAll(block.data(), block.size(), socket), TransferResult::Failed);
    EXPECT_EQ(SendAll(block.data(), 0, socket), TransferResult::Failed) << "no socket comes before no bytes";
  }
}

TEST(SendAll, SmallBlockToAReadyPeerIsDone) {
  LoopbackPair pair = MakePair();
  ASSERT_TRUE(pair.relay);
  const Bytes block = Pattern<Bytes>(300, 9);
  EXPECT_EQ(SendAll(block.data(), block.size(), pair.relay.get()), TransferResult::Done);
  EXPECT_EQ(ReadAtPeer(pair, block.size()), block);
}

TEST(SendAll, LargeBlockToASlowReaderEndsIdleWithEveryByteInOrder) {
  LoopbackPair pair = MakePair(kSmallSendBuffer);
  ASSERT_TRUE(pair.relay);
  const Bytes block = Pattern<Bytes>(4 << 20, 7);
  Bytes received;
  std::jthread reader([&] { received = ReadAtPeer(pair, block.size(), 16 * 1024, milliseconds(1)); });
  EXPECT_EQ(SendAll(block.data(), block.size(), pair.relay.get(), Patiently()), TransferResult::Idle);
  reader.join();
  ASSERT_EQ(received.size(), block.size());
  EXPECT_TRUE(received == block) << "some bytes arrived changed or out of order";
}

TEST(SendAll, ResetPeerFailsWithoutEndingTheProcess) {
  struct sigaction current {};
  ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &current), 0);
  ASSERT_EQ(current.sa_handler, SIG_DFL) << "with SIGPIPE ignored this case would prove nothing";

  LoopbackPair pair = MakePair();
  ASSERT_TRUE(pair.relay);
  const linger abortive{1, 0};
  ASSERT_EQ(::setsockopt(pair.peer.get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive), 0);
  pair.peer.Close();
  pollfd entry{pair.relay->Handle(), POLLOUT, 0};
  ASSERT_EQ(::poll(&entry, 1, static_cast<int>(kPatience.count())), 1);
  ASSERT_NE(entry.revents & (POLLERR | POLLHUP), 0) << "the reset never arrived";

  const Bytes block = Pattern<Bytes>(64 * 1024, 2);
  // No bytes means no call on the socket, so even a broken one gives Done.
  EXPECT_EQ(SendAll(block.data(), 0, pair.relay.get()), TransferResult::Done);
  // The first send reports the reset; the second is the one a plain send()
  // would answer with SIGPIPE.
  EXPECT_EQ(SendAll(block.data(), block.size(), pair.relay.get()), TransferResult::Failed);
  EXPECT_EQ(SendAll(block.data(), block.size(), pair.relay.get()), TransferResult::Failed);
}

TEST(SendAll, GiveUpEndsASendThePeerNeverTakes) {
  LoopbackPair pair = MakePair(kSmallSendBuffer);
  ASSERT_TRUE(pair.relay);
  const Bytes block = Pattern<Bytes>(8 << 20, 4);
  int checks = 0;
  const auto giveUpAt = Clock::now() + milliseconds(200);
  const SendBound bound{[&checks, giveUpAt] {
                          ++checks;
                          return Clock::now() >= giveUpAt;
                        },
                        -1};
  const auto start = Clock::now();
  EXPECT_EQ(SendAll(block.data(), block.size(), pair.relay.get(), bound), TransferResult::Failed);
  EXPECT_LT(Since(start), milliseconds(5000));
  EXPECT_GT(checks, 0);
}

TEST(SendAll, StallLimitEndsASendThePeerNeverTakes) {
  LoopbackPair pair = MakePair(kSmallSendBuffer);
  ASSERT_TRUE(pair.relay);
  const Bytes block = Pattern<Bytes>(8 << 20, 5);
  SendBound bound = Patiently();
  bound.stallLimitMs = 300;
  const auto start = Clock::now();
  EXPECT_EQ(SendAll(block.data(), block.size(), pair.relay.get(), bound), TransferResult::Failed);
  const milliseconds elapsed = Since(start);
  EXPECT_GE(elapsed, milliseconds(300));
  EXPECT_LT(elapsed, milliseconds(5000));
}

TEST(SendAll, StallLimitCountsFromTheLastByteTakenNotFromTheStart) {
  LoopbackPair pair = MakePair(kSmallSendBuffer);
  ASSERT_TRUE(pair.relay);
  const Bytes block = Pattern<Bytes>(1 << 20, 6);
  Bytes received;
  // 256 reads with 4 ms pauses: the whole send lasts several stall limits.
  std::jthread reader([&] { received = ReadAtPeer(pair, block.size(), 4096, milliseconds(4)); });
  SendBound bound = Patiently();
  bound.stallLimitMs = 300;
  const auto start = Clock::now();
  EXPECT_EQ(SendAll(block.data(), block.size(), pair.relay.get(), bound), TransferResult::Idle);
  EXPECT_GT(Since(start), milliseconds(bound.stallLimitMs));
  reader.join();
  EXPECT_TRUE(received == block) << "received " << received.size() << " of " << block.size() << " bytes";
}

// Keeps the lowest descriptors busy so that new sockets get numbers above
// 1023; gives back the descriptors and the soft limit when it goes.
class DescriptorFiller {
 public:
  ~DescriptorFiller() {
    for (const int fd : fds_) ::close(fd);
    if (raised_) ::setrlimit(RLIMIT_NOFILE, &saved_);
  }
  bool Fill(size_t count) {
    if (::getrlimit(RLIMIT_NOFILE, &saved_) != 0) return false;
    rlimit raised = saved_;
    raised.rlim_cur = saved_.rlim_max == RLIM_INFINITY ? std::max<rlim_t>(saved_.rlim_cur, 65536) : saved_.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) return false;
    raised_ = true;
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0) return false;
    fds_.push_back(devNull);
    while (fds_.size() < count) {
      const int fd = ::fcntl(devNull, F_DUPFD_CLOEXEC, 0);
      if (fd < 0) return false;
      fds_.push_back(fd);
    }
    return true;
  }

 private:
  std::vector<int> fds_;
  rlimit saved_{};
  bool raised_ = false;
};

TEST(HighDescriptors, SendAndReceiveWorkAboveTheSelectLimit) {
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 1200) {
    GTEST_SKIP() << "the hard limit of open files (" << limit.rlim_max << ") is below 1200";
  }
  DescriptorFiller filler;
  ASSERT_TRUE(filler.Fill(1100)) << std::strerror(errno);
  LoopbackPair pair = MakePair();
  ASSERT_TRUE(pair.relay);
  ASSERT_GT(pair.relay->Handle(), 1023);
  ASSERT_GT(pair.peer.get(), 1023);

  const Bytes block = Pattern<Bytes>(3000, 3);
  EXPECT_EQ(SendAll(block.data(), block.size(), pair.relay.get()), TransferResult::Done);
  const Bytes echoed = ReadAtPeer(pair, block.size());
  ASSERT_EQ(echoed, block);
  ASSERT_NO_FATAL_FAILURE(WriteFromPeer(pair, echoed));

  Bytes back;
  const testing::Deadline deadline(kPatience);
  while (back.size() < block.size() && !deadline.Expired()) {
    Bytes chunk;
    const TransferResult result = Receive(pair, chunk);
    ASSERT_NE(result, TransferResult::Failed);
    EXPECT_LE(chunk.size(), kChunkMaxBytes);
    back.insert(back.end(), chunk.begin(), chunk.end());
  }
  EXPECT_EQ(back, block);
}

}  // namespace
}  // namespace veltor
