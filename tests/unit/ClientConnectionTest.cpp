// One client record over a real loopback connection: what its worker delivers
// and in which order, what it reads from the client, how it reports the
// client's end, and that letting go of it never hangs on a client that has
// stopped reading.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "base/Constants.h"
#include "clients/ClientConnection.h"
#include "clients/GreetingFrame.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/FakeClock.h"
#include "tests/support/Patterns.h"
#include "tests/support/SocketPair.h"

namespace veltor {
namespace {

using namespace std::chrono_literals;
using namespace testing;

std::string AsText(const ClientConnection::Frame& frame) { return std::string(frame.begin(), frame.end()); }

// ---------------------------------------------------------------------------
// Delivery to the client.

TEST(ClientRecordDelivery, GreetingFramesFirstWholeAndInOrderThenQueuedDataInOrder) {
  LoopbackPair pair = MakePair();
  ASSERT_TRUE(pair.relay);
  ClientConnection::Frame small{0x74, 0x0B, 0x00, 1, 2, 3, 4, 'h', 0, 0x42, 0x01};
  ClientConnection::Frame large(2600);  // more than one receive's worth on the client's side
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i % 253);
  const std::string greeting = AsText(small) + AsText(large);

  CapturedOutput output;
  {
    ClientConnection record(kLoopbackAddress, false, 0, std::move(pair.relay), Frames{small, large});
    // Data queued before the worker runs still goes out after the frames.
    const std::string early = Pattern(1500, 1);
    Queue(record, early);
    EXPECT_EQ(record.queuedBytes.load(), 1500);
    ASSERT_TRUE(record.Start());
    const std::string later1 = "server bytes";
    const std::string later2 = Pattern(2345, 2);
    Queue(record, later1);
    Queue(record, later2);
    const std::string data = early + later1 + later2;

    const std::string got = ReadExactly(pair.peer.get(), greeting.size() + data.size());
    ASSERT_EQ(got.size(), greeting.size() + data.size());
    EXPECT_TRUE(got.substr(0, greeting.size()) == greeting) << "greeting frames not first, whole and in order";
    EXPECT_TRUE(got.substr(greeting.size()) == data) << "queued data not delivered in order";

    // Frames are not the server's data: only the queued bytes count as sent.
    ASSERT_TRUE(WaitUntil([&] { return record.bytesSent.load() == data.size(); }))
        << "bytesSent " << record.bytesSent.load();
    EXPECT_EQ(record.queuedBytes.load(), 0);
    EXPECT_TRUE(record.active.load());
    EXPECT_TRUE(record.holdsSocket.load());
  }
  // Releasing a client that is still relaying is not its end: no "Disc" line.
  EXPECT_EQ(output.Out(), "");
  EXPECT_EQ(output.Err(), "");
  EXPECT_TRUE(WaitForEof(pair.peer.get()));
}

// ---------------------------------------------------------------------------
// The client's end and its "Disc" line.

TEST(ClientRecordDelivery, GreetingSurvivesTheCloseOfAClientThatHadTyped) {
  // Closing a socket with unread input resets the connection and discards
  // what was still on its way; a client cut off before its worker even ran
  // must still get its whole greeting.
  LoopbackPair pair = MakePair();
  ASSERT_TRUE(pair.relay);
  const int peerFd = pair.peer.get();
  ASSERT_TRUE(SendFromPeer(peerFd, "typed before the greeting"));
  const Frames frames{BuildTextFrame(std::string(65525, 'x'), 1), BuildTextFrame("a", 2), BuildTextFrame("b", 3),
                      BuildTextFrame("c", 4)};
  std::string expected;
  for (const auto& frame : frames) expected += AsText(frame);
  ClientConnection record(kLoopbackAddress, false, -1, std::move(pair.relay), frames);
  ASSERT_TRUE(record.CutOff(0));
  ASSERT_TRUE(record.Start());
  ASSERT_TRUE(WaitUntil([&] { return !record.holdsSocket.load(); }));
  EXPECT_TRUE(ReadExactly(peerFd, expected.size() + 1) == expected);
}

// A fake wall clock from the admission on, and the connection for the record.
class ClientRecordDisconnect : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pair.relay); }
  FakeClock clock;
  ScopedClock scoped{clock};
  const int64_t admitted = clock.WallSeconds();
  LoopbackPair pair = MakePair();
};

TEST_F(ClientRecordDisconnect, PeerCloseGivesOneDiscLineWithBytesDurationAndRate) {
  CapturedOutput output;
  {
    ClientConnection record(kLoopbackAddress, false, 0, std::move(pair.relay), Frames{});
    ASSERT_TRUE(record.Start());
    std::string data;
    for (int i = 0; i < 11; ++i) data += Pattern(1000, static_cast<size_t>(i));
    data += Pattern(182, 11);  // 11182 bytes: 3 whole bytes per second over 3725 s
    for (size_t at = 0; at < data.size(); at += 1000) Queue(record, std::string_view(data).substr(at, 1000));
    ASSERT_EQ(ReadExactly(pair.peer.get(), data.size()).size(), data.size());
    ASSERT_TRUE(WaitUntil([&] { return record.bytesSent.load() == data.size(); }));

    clock.AdvanceWall(3725);
    pair.peer.Close();
    // The worker prints the line before it lets go of the socket.
    ASSERT_TRUE(WaitUntil([&] { return !record.holdsSocket.load(); }));
    EXPECT_FALSE(record.active.load());

    // Data for an ended client is not kept.
    Queue(record, "late");
    EXPECT_EQ(record.queuedBytes.load(), 0);
  }
  EXPECT_EQ(output.Out(), Stamp(admitted + 3725) + ": Disc: 127.0.0.1. 11182 bytes in 1:02:05 (3 BPS)\n");
  EXPECT_EQ(output.Err(), "");
}

TEST_F(ClientRecordDisconnect, ResetWithinTheFirstSecondReportsTheByteCountAsItsRate) {
  CapturedOutput output;
  {
    ClientConnection record(0x0A141E28 /* 10.20.30.40 */, true, 0, std::move(pair.relay), Frames{});
    ASSERT_TRUE(record.Start());
    Queue(record, Pattern(1234, 5));
    ASSERT_EQ(ReadExactly(pair.peer.get(), 1234).size(), 1234u);
    ASSERT_TRUE(WaitUntil([&] { return record.bytesSent.load() == 1234; }));

    pair.peer.Reset();
    ASSERT_TRUE(WaitUntil([&] { return !record.holdsSocket.load(); }));
    EXPECT_FALSE(record.active.load());
    EXPECT_EQ(record.TakeUpstream(), nullptr);
  }
  EXPECT_EQ(output.Out(), Stamp(admitted) + ": Disc: 10.20.30.40. 1234 bytes in 0:00:00 (1234 BPS)\n");
}

// ---------------------------------------------------------------------------
// What the client sends.

TEST(ClientRecordUpstream, PassRxDataReachesTheUpstreamQueueInOrder) {
  LoopbackPair pair = MakePair();
  ASSERT_TRUE(pair.relay);
  ClientConnection record(kLoopbackAddress, true, 0, std::move(pair.relay), Frames{});
  ASSERT_TRUE(record.Start());

  const std::string sent = Pattern(5000, 3) + "tail";
  ASSERT_TRUE(SendFromPeer(pair.peer.get(), sent));
  std::string received;
  size_t largest = 0;
  EXPECT_TRUE(WaitUntil([&] {
    while (std::unique_ptr<DataChunk> chunk = record.TakeUpstream()) {
      largest = std::max(largest, chunk->Length());
      received.append(chunk->bytes.begin(), chunk->bytes.end());
    }
    return received.size() >= sent.size();
  }));
  EXPECT_TRUE(received == sent) << "received " << received.size() << " of " << sent.size() << " bytes";
  EXPECT_LE(largest, kChunkMaxBytes);
  EXPECT_EQ(record.TakeUpstream(), nullptr);
}

TEST(ClientRecordUpstream, NoPassRxDataIsReadAndDroppedAtOnce) {
  LoopbackPair pair = MakePair();
  ASSERT_TRUE(pair.relay);
  const int relayFd = pair.relay->Handle();
  ClientConnection record(kLoopbackAddress, false, 0, std::move(pair.relay), Frames{});
  ASSERT_TRUE(record.Start());

  for (size_t round = 0; round < 3; ++round) {
    ASSERT_TRUE(SendFromPeer(pair.peer.get(), Pattern(3000, round)));
    // Read off the socket by the worker ...
    ASSERT_TRUE(WaitUntil([&] { return Pending(relayFd) == 0; })) << "round " << round;
    // ... and never kept for the main thread.
    EXPECT_EQ(record.TakeUpstream(), nullptr) << "round " << round;
  }
  EXPECT_TRUE(record.active.load());
}

TEST(ClientRecordUpstream, FullQueueOf64ChunksPausesReadingAndNothingIsLost) {
  LoopbackPair pair = MakePair();
  ASSERT_TRUE(pair.relay);
  const int relayFd = pair.relay->Handle();
  const int peerFd = pair.peer.get();
  ClientConnection record(kLoopbackAddress, true, 0, std::move(pair.relay), Frames{});
  ASSERT_TRUE(record.Start());

  // One chunk's worth at a time, each read off before the next goes out, so
  // every send becomes exactly one queued chunk.
  std::string sent;
  for (size_t i = 0; i < kUpstreamMaxChunks; ++i) {
    const std::string chunk = Pattern(kChunkMaxBytes, i);
    ASSERT_TRUE(SendFromPeer(peerFd, chunk));
    ASSERT_TRUE(WaitUntil([&] { return Pending(relayFd) == 0; })) << "chunk " << i;
    sent += chunk;
  }
  const std::string overflow = Pattern(kChunkMaxBytes, 100);
  ASSERT_TRUE(SendFromPeer(peerFd, overflow));
  sent += overflow;

  // The queue is full: the 65th chunk stays in the socket.
  EXPECT_FALSE(WaitUntil([&] { return Pending(relayFd) != static_cast<int>(kChunkMaxBytes); }, 400ms))
      << "the worker read past a full queue";

  std::string received;
  std::vector<size_t> chunkSizes;
  auto drain = [&] {
    while (std::unique_ptr<DataChunk> chunk = record.TakeUpstream()) {
      chunkSizes.push_back(chunk->Length());
      received.append(chunk->bytes.begin(), chunk->bytes.end());
    }
  };
  std::unique_ptr<DataChunk> first = record.TakeUpstream();
  ASSERT_NE(first, nullptr);
  chunkSizes.push_back(first->Length());
  received.append(first->bytes.begin(), first->bytes.end());
  // Room again: the waiting chunk is read.
  ASSERT_TRUE(WaitUntil([&] {
    drain();
    return received.size() >= sent.size();
  }));
  EXPECT_EQ(chunkSizes, std::vector<size_t>(kUpstreamMaxChunks + 1, kChunkMaxBytes));
  EXPECT_TRUE(received == sent) << "received " << received.size() << " of " << sent.size() << " bytes";

  // Under steady pressure: the client is slowed down, never cut short.
  const std::string bulk = Pattern(3 * 1024 * 1024 + 17, 7);
  std::atomic<bool> bulkSent{false};
  std::thread writer([&] { bulkSent = SendFromPeer(peerFd, bulk, 20000ms); });
  received.clear();
  chunkSizes.clear();
  const bool all = WaitUntil(
      [&] {
        drain();
        return received.size() >= bulk.size();
      },
      20000ms);
  writer.join();
  EXPECT_TRUE(bulkSent.load());
  EXPECT_TRUE(all);
  EXPECT_TRUE(received == bulk) << "received " << received.size() << " of " << bulk.size() << " bytes";
  ASSERT_FALSE(chunkSizes.empty());
  EXPECT_LE(*std::max_element(chunkSizes.begin(), chunkSizes.end()), kChunkMaxBytes);
  EXPECT_TRUE(record.active.load());
}

// ---------------------------------------------------------------------------
// Letting go of a client that has stopped reading.

TEST(ClientRecordRelease, StopIsPromptAndSilentWhileTheWorkerIsHeldInASend) {
  LoopbackPair pair = MakePair({.peerReceive = 4096, .relaySend = 4096});
  ASSERT_TRUE(pair.relay);
  CapturedOutput output;
  auto record = std::make_unique<ClientConnection>(kLoopbackAddress, false, 0, std::move(pair.relay), Frames{});
  const std::string block = Pattern(64 * 1024, 9);
  constexpr int kBlocks = 64;  // 4 MiB, far beyond what the socket buffers hold
  for (int i = 0; i < kBlocks; ++i) Queue(*record, block);
  const uint64_t total = static_cast<uint64_t>(kBlocks) * block.size();
  ASSERT_TRUE(record->Start());

  // Held: a block has left the queue without being counted as sent, and
  // nothing moves any more.
  const auto progress = [&] {
    return std::pair<uint64_t, int64_t>(record->bytesSent.load(), record->queuedBytes.load());
  };
  ASSERT_TRUE(WaitUntilQuiet(progress, 300ms));
  ASSERT_LT(record->bytesSent.load() + static_cast<uint64_t>(record->queuedBytes.load()), total);

  const auto started = std::chrono::steady_clock::now();
  record->Stop();
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_LT(took, 2s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  EXPECT_FALSE(record->holdsSocket.load());
  EXPECT_TRUE(record->active.load());  // released, not ended by the client
  record.reset();

  EXPECT_EQ(output.Out(), "");
  EXPECT_EQ(output.Err(), "");
  EXPECT_TRUE(WaitForEof(pair.peer.get()));
}

TEST(ClientRecordRelease, BacklogBeyond16MiBEndsTheClientWithOneDiscLine) {
  FakeClock clock;
  ScopedClock scoped(clock);
  const int64_t admitted = clock.WallSeconds();
  LoopbackPair pair = MakePair({.peerReceive = 4096, .relaySend = 4096});
  ASSERT_TRUE(pair.relay);
  CapturedOutput output;
  auto record = std::make_unique<ClientConnection>(kLoopbackAddress, false, 0, std::move(pair.relay), Frames{});
  ASSERT_TRUE(record->Start());

  const std::string chunk = Pattern(kChunkMaxBytes, 4);
  const int limit = static_cast<int>(kDownstreamMaxBytes / static_cast<int64_t>(kChunkMaxBytes)) + 10000;
  int calls = 0;
  while (record->active.load() && calls < limit) {
    Queue(*record, chunk);
    ++calls;
  }
  ASSERT_FALSE(record->active.load()) << "still active after " << calls << " chunks";
  // Ended by the bound itself: one more chunk would have passed it.
  const int64_t queuedAtEnd = record->queuedBytes.load();
  EXPECT_LE(queuedAtEnd, kDownstreamMaxBytes);
  EXPECT_GT(queuedAtEnd + static_cast<int64_t>(kChunkMaxBytes), kDownstreamMaxBytes);

  // The worker, held in its send, notices and ends.
  ASSERT_TRUE(WaitUntil([&] { return !record->holdsSocket.load(); }));
  Queue(*record, chunk);
  EXPECT_EQ(record->queuedBytes.load(), queuedAtEnd);
  const uint64_t sent = record->bytesSent.load();

  const auto started = std::chrono::steady_clock::now();
  record.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);

  const std::string count = std::to_string(sent);
  EXPECT_EQ(output.Out(), Stamp(admitted) + ": Disc: 127.0.0.1. " + count + " bytes in 0:00:00 (" + count + " BPS)\n");
  EXPECT_TRUE(WaitForEof(pair.peer.get()));
}

}  // namespace
}  // namespace veltor
