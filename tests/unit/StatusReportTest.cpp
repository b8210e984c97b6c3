// The operator's status table, byte for byte, from a table of real loopback
// clients under a fake wall clock.
#include "console/StatusReport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "clients/RelayPasses.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/Patterns.h"
#include "tests/support/TableRig.h"

namespace veltor {
namespace {

using namespace std::chrono_literals;
using namespace testing;

class StatusReport : public TableRig {};

TEST_F(StatusReport, NoClientsPrintsOnlyTheCountLine) {
  CapturedOutput output;
  PrintStatus(table);
  EXPECT_EQ(output.Err(), Stamp(t0) + ": 0 clients:\n");
  EXPECT_EQ(output.Out(), "");
}

TEST_F(StatusReport, RowsShowAddressBytesDurationQueuedAndWhetherTheWorkerStillRuns) {
  const Client delivered = AddClient(Ip(127, 0, 0, 1), false, 0);
  ASSERT_NE(delivered.record, nullptr);
  Queue(*delivered.record, Pattern(1234, 3));
  ASSERT_EQ(ReadExactly(delivered.peer, 1234).size(), 1234u);
  ASSERT_TRUE(WaitUntil([&] { return delivered.record->bytesSent.load() == 1234; }));

  // Still active, but its worker has let go of the socket.
  const Client released = AddClient(Ip(10, 0, 0, 2), false, 0);
  ASSERT_NE(released.record, nullptr);
  released.record->RequestStop();
  ASSERT_TRUE(WorkerEnded(*released.record));
  ASSERT_TRUE(released.record->active.load());

  // A worker not yet running keeps everything queued.
  auto waiting = std::make_unique<ClientConnection>(Ip(192, 168, 10, 200), false, 0, nullptr, Frames{});
  Queue(*waiting, Pattern(4321, 4));
  table.Add(std::move(waiting));

  clock.SetWall(t0 + 7);
  CapturedOutput output;
  PrintStatus(table);
  EXPECT_EQ(output.Err(), Stamp(t0 + 7) + ": 3 clients:\n" + kStatusHeader +
                              "  1.    127.  0.  0.  1           1234       0:00:07           0\n"
                              "  2.     10.  0.  0.  2              0       0:00:07           0   (inactive)\n"
                              "  3.    192.168. 10.200              0       0:00:07        4321\n");
  EXPECT_EQ(output.Out(), "");
}

TEST_F(StatusReport, StalledClientShowsGrowingQueuedWhileItsBytesStay) {
  const Client stalled = AddClient(Ip(127, 0, 0, 1), false, 0, {.peerReceive = 4096, .relaySend = 4096});
  ASSERT_NE(stalled.record, nullptr);
  const std::string block = Pattern(64 * 1024, 5);
  for (int i = 0; i < 8; ++i) Queue(*stalled.record, block);
  // Wait until the worker is held in its send: its count stops moving.
  uint64_t sent = 0;
  ASSERT_TRUE(WaitUntil([&] {
    const uint64_t before = stalled.record->bytesSent.load();
    std::this_thread::sleep_for(500ms);
    sent = stalled.record->bytesSent.load();
    return sent == before && stalled.record->queuedBytes.load() > 0;
  }));

  CapturedOutput output;
  PrintStatus(table);
  const int64_t queuedBefore = stalled.record->queuedBytes.load();
  Queue(*stalled.record, block);
  PrintStatus(table);
  char rows[256];
  std::snprintf(rows, sizeof rows,
                "  1.    127.  0.  0.  1      %9llu       0:00:00    %8lld\n",
                static_cast<unsigned long long>(sent), static_cast<long long>(queuedBefore));
  std::string expected = Stamp(t0) + ": 1 clients:\n" + kStatusHeader + rows;
  std::snprintf(rows, sizeof rows,
                "  1.    127.  0.  0.  1      %9llu       0:00:00    %8lld\n",
                static_cast<unsigned long long>(sent), static_cast<long long>(queuedBefore + 64 * 1024));
  expected += Stamp(t0) + ": 1 clients:\n" + kStatusHeader + rows;
  EXPECT_EQ(output.Err(), expected);
}

TEST_F(StatusReport, LongDurationsAndCutOffRecordsCountedFromTheCutOff) {
  const Client longLived = AddClient(Ip(127, 0, 0, 1), false, 0);
  const Client limited = AddClient(Ip(127, 0, 0, 1), false, 10);
  ASSERT_NE(longLived.record, nullptr);
  ASSERT_NE(limited.record, nullptr);

  CapturedOutput output;
  clock.SetWall(t0 + 10);
  ClientPass(link, table);
  ASSERT_TRUE(limited.record->timedOut);
  clock.SetWall(t0 + 3725);
  PrintStatus(table);
  clock.SetWall(t0 + 100 * 3600 + 61);
  PrintStatus(table);
  EXPECT_EQ(output.Err(), Stamp(t0 + 3725) + ": 2 clients:\n" + kStatusHeader +
                              "  1.    127.  0.  0.  1              0       1:02:05           0\n"
                              "  2.    127.  0.  0.  1              0       1:01:55           0   (inactive)\n" +
                              Stamp(t0 + 100 * 3600 + 61) + ": 2 clients:\n" + kStatusHeader +
                              "  1.    127.  0.  0.  1              0     100:01:01           0\n"
                              "  2.    127.  0.  0.  1              0     100:00:51           0   (inactive)\n");
}

}  // namespace
}  // namespace veltor
