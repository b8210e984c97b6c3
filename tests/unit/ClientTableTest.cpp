// The client table and the relay's passes over it, driven by a fake wall
// clock with real loopback clients and a loopback stand-in for the server:
// time limits and the hold after them, sweeping, shutdown, the broadcast from
// the server and forwarding to it.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/Constants.h"
#include "clients/ClientConnection.h"
#include "clients/ClientTable.h"
#include "clients/RelayPasses.h"
#include "net/ServerLink.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/FakeClock.h"
#include "tests/support/Patterns.h"
#include "tests/support/SocketPair.h"
#include "tests/support/TableRig.h"

namespace veltor {
namespace {

using namespace std::chrono_literals;
using namespace testing;

// ---------------------------------------------------------------------------
// Time limits and the hold after a cut-off.

class TimeLimit : public TableRig {};

TEST_F(TimeLimit, CutOffAtTheLimitThenHeldUntilMoreThan60SecondsHavePassed) {
  CapturedOutput output;
  const Client client = AddClient(Ip(127, 0, 0, 1), false, 5);
  ASSERT_NE(client.record, nullptr);

  clock.SetWall(t0 + 4);
  ClientPass(link, table);
  EXPECT_TRUE(client.record->active.load());
  EXPECT_FALSE(client.record->timedOut);

  clock.SetWall(t0 + 5);
  ClientPass(link, table);
  EXPECT_FALSE(client.record->active.load());
  EXPECT_TRUE(client.record->timedOut);
  EXPECT_EQ(client.record->startTime.load(), t0 + 5);
  ClientPass(link, table);  // an ended client is cut off once
  // The cut-off ends the connection too.
  EXPECT_TRUE(WaitForEof(client.peer));
  EXPECT_TRUE(WorkerEnded(*client.record));

  clock.SetWall(t0 + 5 + 60);
  table.Sweep();
  ASSERT_EQ(table.Count(), 1);
  EXPECT_EQ(table.FindByAddress(Ip(127, 0, 0, 1)), client.record);
  EXPECT_TRUE(client.record->timedOut);

  clock.SetWall(t0 + 5 + 61);
  table.Sweep();
  EXPECT_EQ(table.Count(), 0);
  EXPECT_EQ(table.FindByAddress(Ip(127, 0, 0, 1)), nullptr);

  EXPECT_EQ(output.Out(), Stamp(t0 + 5) + ": client 127.0.0.1 time limit hit. 0 bytes in 5 seconds (0 BPS)\n");
  EXPECT_EQ(output.Err(), "");
}

TEST_F(TimeLimit, NegativeLimitCutsOffInTheFirstPassWithTheByteCountAsRate) {
  CapturedOutput output;
  const Client client = AddClient(Ip(10, 20, 30, 40), true, -1);
  ASSERT_NE(client.record, nullptr);
  Queue(*client.record, Pattern(37, 1));
  ASSERT_EQ(ReadExactly(client.peer, 37).size(), 37u);
  ASSERT_TRUE(WaitUntil([&] { return client.record->bytesSent.load() == 37; }));

  ClientPass(link, table);
  EXPECT_FALSE(client.record->active.load());
  EXPECT_TRUE(client.record->timedOut);
  EXPECT_TRUE(WorkerEnded(*client.record));
  EXPECT_EQ(output.Out(), Stamp(t0) + ": client 10.20.30.40 time limit hit. 37 bytes in 0 seconds (37 BPS)\n");
}

TEST_F(TimeLimit, ZeroMeansNoLimit) {
  const Client client = AddClient(Ip(127, 0, 0, 1), false, 0);
  ASSERT_NE(client.record, nullptr);
  clock.SetWall(t0 + 400 * 86400);
  ClientPass(link, table);
  EXPECT_TRUE(client.record->active.load());
  EXPECT_FALSE(client.record->timedOut);
}

// ---------------------------------------------------------------------------
// Sweeping and shutdown.

class TableLifecycle : public TableRig {};

TEST_F(TableLifecycle, SweepReleasesEndedClientsAtOnceAndFindByAddressTakesTheFirstOfAnyState) {
  CapturedOutput output;
  const Client ended = AddClient(Ip(10, 0, 0, 1), false, 0);
  const Client twin = AddClient(Ip(10, 0, 0, 1), false, 0);
  const Client other = AddClient(Ip(10, 0, 0, 2), false, 0);
  ASSERT_NE(ended.record, nullptr);
  ASSERT_NE(twin.record, nullptr);
  ASSERT_NE(other.record, nullptr);

  ClosePeer(ended.peer);
  ASSERT_TRUE(WorkerEnded(*ended.record));
  EXPECT_FALSE(ended.record->active.load());
  // Ended but not yet swept: still the record that counts for its address.
  EXPECT_EQ(table.Count(), 3);
  EXPECT_EQ(table.FindByAddress(Ip(10, 0, 0, 1)), ended.record);

  table.Sweep();  // same wall-clock second: no waiting for an ended client
  ASSERT_EQ(table.Count(), 2);
  EXPECT_EQ(table.All()[0].get(), twin.record);
  EXPECT_EQ(table.All()[1].get(), other.record);
  EXPECT_EQ(table.FindByAddress(Ip(10, 0, 0, 1)), twin.record);
  EXPECT_EQ(table.FindByAddress(Ip(10, 0, 0, 2)), other.record);
  EXPECT_EQ(table.FindByAddress(Ip(10, 0, 0, 3)), nullptr);

  EXPECT_EQ(output.Out(), Stamp(t0) + ": Disc: 10.0.0.1. 0 bytes in 0:00:00 (0 BPS)\n");
}

TEST_F(TableLifecycle, TearDownReleasesEveryRecordPromptlyAndSilently) {
  const Client running = AddClient(Ip(10, 0, 0, 1), false, 0);
  const Client held = AddClient(Ip(10, 0, 0, 2), false, 1);
  // A client that reads nothing, with far more queued than its buffers hold.
  const Client stalled = AddClient(Ip(10, 0, 0, 3), false, 0, {.peerReceive = 4096, .relaySend = 4096});
  ASSERT_NE(stalled.record, nullptr);
  const std::string block = Pattern(64 * 1024, 2);
  for (int i = 0; i < 32; ++i) Queue(*stalled.record, block);

  CapturedOutput output;
  clock.SetWall(t0 + 1);
  ClientPass(link, table);
  ASSERT_TRUE(held.record->timedOut);
  ASSERT_TRUE(WaitUntil([&] { return stalled.record->queuedBytes.load() < 32 * 64 * 1024; }));

  const auto started = std::chrono::steady_clock::now();
  table.TearDown();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  EXPECT_EQ(table.Count(), 0);
  EXPECT_TRUE(WaitForEof(running.peer));
  EXPECT_TRUE(WaitForEof(stalled.peer));
  // Only the cut-off has a line; releasing prints nothing.
  EXPECT_EQ(output.Out(), Stamp(t0 + 1) + ": client 10.0.0.2 time limit hit. 0 bytes in 1 seconds (0 BPS)\n");
  EXPECT_EQ(output.Err(), "");
}

// ---------------------------------------------------------------------------
// From the server to the clients.

class ServerToClients : public TableRig {};

TEST_F(ServerToClients, ServerBytesReachEveryActiveClientInOrderAndAClosedServerIsDroppedOnce) {
  CapturedOutput output;
  const Client gone = AddClient(Ip(10, 0, 0, 9), false, 0);
  const Client first = AddClient(Ip(127, 0, 0, 1), true, 0);
  const Client second = AddClient(Ip(127, 0, 0, 1), false, 0);
  const int server = AttachServer();
  ASSERT_NE(gone.record, nullptr);
  ASSERT_NE(first.record, nullptr);
  ASSERT_NE(second.record, nullptr);
  ASSERT_GE(server, 0);
  ClosePeer(gone.peer);
  ASSERT_TRUE(WorkerEnded(*gone.record));

  const std::string stream = Pattern(5432, 8);
  ASSERT_TRUE(SendFromPeer(server, stream));
  EXPECT_TRUE(WaitUntil([&] {
    ServerPump(link, table);
    return first.record->bytesSent.load() == stream.size() && second.record->bytesSent.load() == stream.size();
  }));
  EXPECT_TRUE(ReadExactly(first.peer, stream.size()) == stream);
  EXPECT_TRUE(ReadExactly(second.peer, stream.size()) == stream);
  // An ended client is given nothing.
  EXPECT_EQ(gone.record->queuedBytes.load(), 0);
  EXPECT_EQ(gone.record->bytesSent.load(), 0u);

  ClosePeer(server);
  EXPECT_TRUE(WaitUntil([&] {
    ServerPump(link, table);
    return link.serverSocket == nullptr;
  }));
  ServerPump(link, table);  // nothing left to pump
  ServerPump(link, table);
  EXPECT_EQ(link.serverSocket, nullptr);
  // The clients stay connected without their server.
  EXPECT_TRUE(first.record->active.load());
  EXPECT_TRUE(second.record->active.load());

  EXPECT_EQ(output.Out(), Stamp(t0) + ": Disc: 10.0.0.9. 0 bytes in 0:00:00 (0 BPS)\n" + Stamp(t0) +
                              ": server socket disconnected\n");
}

TEST(AddClientData, WarnsOnStandardErrorWhenTheBroadcastTookMoreThan500Ms) {
  // A tick that moves on by a set step at every reading, across its wrap.
  class SteppingClock final : public Clock {
   public:
    explicit SteppingClock(uint32_t step) : step_(step) {}
    uint32_t TickMs() override { return tick_ += step_; }
    int64_t WallSeconds() override { return 1'800'000'000; }
    void SleepMs(int) override {}

   private:
    const uint32_t step_;
    std::atomic<uint32_t> tick_{0xFFFFFFFFu - 700};
  };
  const uint8_t bytes[] = {1, 2, 3};
  ClientTable empty;

  SteppingClock slow(501);
  {
    ScopedClock scoped(slow);
    CapturedOutput output;
    AddClientData(empty, bytes, sizeof bytes);
    EXPECT_EQ(output.Err(), Stamp(1'800'000'000) + ": AddClientData() took too long!!! 501 mS\n");
    EXPECT_EQ(output.Out(), "");
  }
  SteppingClock justInTime(500);
  {
    ScopedClock scoped(justInTime);
    CapturedOutput output;
    AddClientData(empty, bytes, sizeof bytes);
    EXPECT_EQ(output.Err(), "");
  }
}

// ---------------------------------------------------------------------------
// From the clients to the server.

class ClientsToServer : public TableRig {};

TEST_F(ClientsToServer, OneChunkPerClientPerPassAndOnlyFromPassRxClients) {
  const Client passing = AddClient(Ip(10, 0, 0, 1), true, 0);
  const Client silent = AddClient(Ip(10, 0, 0, 2), false, 0);
  const int server = AttachServer();
  ASSERT_NE(passing.record, nullptr);
  ASSERT_NE(silent.record, nullptr);
  ASSERT_GE(server, 0);

  // Three separate chunks, each read off by the worker before the next goes out.
  std::vector<std::string> chunks;
  for (size_t i = 0; i < 3; ++i) {
    chunks.push_back(Pattern(kChunkMaxBytes, i));
    ASSERT_TRUE(SendFromPeer(passing.peer, chunks.back()));
    ASSERT_TRUE(WaitUntil([&] { return Pending(passing.relayFd) == 0; }));
  }
  ASSERT_TRUE(SendFromPeer(silent.peer, Pattern(2000, 9)));
  ASSERT_TRUE(WaitUntil([&] { return Pending(silent.relayFd) == 0; }));

  ClientPass(link, table);
  EXPECT_TRUE(ReadExactly(server, kChunkMaxBytes) == chunks[0]);
  // The pass took the first chunk only: the second is still queued.
  std::unique_ptr<DataChunk> second = passing.record->TakeUpstream();
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(std::string(second->bytes.begin(), second->bytes.end()) == chunks[1]);

  // The last chunk may still be on its way from the worker into the queue.
  ASSERT_TRUE(WaitUntil([&] {
    ClientPass(link, table);
    return Pending(server) >= static_cast<int>(kChunkMaxBytes);
  }));
  EXPECT_TRUE(ReadExactly(server, kChunkMaxBytes) == chunks[2]);
  for (int i = 0; i < 5; ++i) ClientPass(link, table);
  // Nothing from the client without pass-through, ever.
  EXPECT_EQ(ReadExactly(server, 1, 300ms), "");
  EXPECT_NE(link.serverSocket, nullptr);
}

TEST_F(ClientsToServer, DataArrivingWhileTheServerIsAbsentIsDropped) {
  const Client passing = AddClient(Ip(10, 0, 0, 1), true, 0);
  ASSERT_NE(passing.record, nullptr);
  ASSERT_TRUE(SendFromPeer(passing.peer, "while nobody listens"));
  // The worker queues what it read a moment after the socket empties; keep
  // passing until then, each pass dropping what it takes.
  ASSERT_TRUE(WaitUntil([&] { return Pending(passing.relayFd) == 0; }));
  for (int pass = 0; pass < 40; ++pass) {
    ClientPass(link, table);
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(passing.record->TakeUpstream(), nullptr);

  const int server = AttachServer();
  ASSERT_GE(server, 0);
  ASSERT_TRUE(SendFromPeer(passing.peer, "fresh"));
  ASSERT_TRUE(WaitUntil([&] {
    ClientPass(link, table);
    return Pending(server) >= 5;
  }));
  EXPECT_EQ(ReadExactly(server, 5), "fresh");
  EXPECT_EQ(ReadExactly(server, 1, 300ms), "");
}

TEST_F(ClientsToServer, AServerThatTakesNothingNeverHoldsAPassLosesNoByteAndIsDroppedAfterFiveSeconds) {
  const Client typist = AddClient(Ip(10, 0, 0, 1), true, 0);
  ASSERT_NE(typist.record, nullptr);
  // Small buffers on the way up, so the server's window is shut almost at once.
  LoopbackPair pair = MakePair({4096, 4096});
  ASSERT_NE(pair.relay, nullptr);
  link.serverSocket = std::make_unique<ServerStream>(std::move(pair.relay));
  ASSERT_TRUE(link.serverSocket->Start());
  const int server = pair.peer.get();

  const std::string typed = Pattern(300'000, 3);
  std::thread typing([&] { SendFromPeer(typist.peer, typed, 30s); });
  // While the server reads nothing, every pass returns at once.
  std::chrono::steady_clock::duration longestPass{};
  for (int pass = 0; pass < 200; ++pass) {
    const auto started = std::chrono::steady_clock::now();
    ClientPass(link, table);
    longestPass = std::max(longestPass, std::chrono::steady_clock::now() - started);
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_LT(longestPass, 1s);
  ASSERT_NE(link.serverSocket, nullptr);

  // Once it reads, it gets every byte, in order.
  std::string got;
  const Deadline deadline(30s);
  while (got.size() < typed.size() && !deadline.Expired()) {
    ClientPass(link, table);
    got += ReadExactly(server, typed.size() - got.size(), 10ms);
  }
  typing.join();
  EXPECT_EQ(got.size(), typed.size());
  EXPECT_TRUE(got == typed);

  // A server that takes nothing for five seconds is given up.
  CapturedOutput output;
  const std::string more = Pattern(200'000, 4);
  std::thread again([&] { SendFromPeer(typist.peer, more, 10s); });
  ASSERT_TRUE(WaitUntil([&] {
    ClientPass(link, table);
    return !link.serverSocket->CanForward() && link.serverSocket->Writable();
  }));
  clock.AdvanceTick(kServerSendStallMs);
  ClientPass(link, table);
  ServerPump(link, table);
  EXPECT_EQ(link.serverSocket, nullptr);
  EXPECT_EQ(output.Out(), Stamp(t0) + ": server socket disconnected\n");
  ::shutdown(typist.peer, SHUT_RDWR);
  again.join();
}

}  // namespace
}  // namespace veltor
