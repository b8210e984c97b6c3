// The operator's status table, asked for by key (S or s) or by SIGUSR1, read
// from the real program's standard error.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Deadline.h"
#include "tests/support/Patterns.h"
#include "tests/support/RelayHarness.h"

namespace veltor::testing {
namespace {

using namespace std::chrono_literals;

// A relay with its server, asked for its status table.
class StatusRig : public RelayWithServer {
 public:
  explicit StatusRig(std::string rule = kAllowLoopbackRule) : RelayWithServer({std::move(rule)}) {}

  // Asks for the table by `how` ("S", "s" or "USR1") and returns it once its
  // `rows` rows (and the header, when there are any) have landed: the text from
  // its first line up to the end of standard error.
  std::string Status(const std::string& how, int rows) {
    const size_t before = relay.Process().CountInStderr(" clients:\n");
    if (how == "USR1") {
      relay.Process().Signal(SIGUSR1);
    } else if (!relay.Process().WriteStdin(how)) {
      return "<stdin closed>";
    }
    if (!relay.Process().WaitForStderr(" clients:\n", 5s, before + 1)) return "<no table>";
    const size_t wantedLines = 1 + (rows > 0 ? 1 + rows : 0);
    std::string table;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    do {
      const std::string err = relay.Process().Stderr();
      size_t at = 0;
      for (size_t i = 0; i <= before; ++i) at = err.find(" clients:\n", at) + 1;
      table = err.substr(err.rfind('\n', at) + 1);
      if (static_cast<size_t>(std::count(table.begin(), table.end(), '\n')) >= wantedLines) return table;
      std::this_thread::sleep_for(10ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return table;
  }
};

// Windows has no SIGUSR1: there the keys are the only way.
std::vector<std::string> WaysToAsk() {
  if (RelayIsWindowsBuild()) return {"S", "s"};
  return {"S", "s", "USR1"};
}

TEST(StatusTable, EmptyTableIsOnlyTheFirstLineForEveryWayOfAsking) {
  StatusRig rig;
  ASSERT_TRUE(rig.Ready());
  const std::vector<std::string> ways = WaysToAsk();
  for (const std::string& how : ways) {
    EXPECT_TRUE(std::regex_match(rig.Status(how, 0), std::regex(kStampRegex + "0 clients:\n"))) << how;
  }
  // Once the relay has ended its output is complete: no header ever followed.
  int status = -1;
  ASSERT_TRUE(rig.relay.Quit(&status));
  EXPECT_EQ(rig.relay.Process().CountInStderr(" 0 clients:\n"), ways.size());
  EXPECT_EQ(rig.relay.Process().CountInStderr("Address"), 0u);
}

TEST(StatusTable, RowsShowBytesDeliveredAndNothingQueuedWhenIdle) {
  StatusRig rig;
  ASSERT_TRUE(rig.Ready());
  TestClient first, second;
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, first, 0));
  ASSERT_TRUE(rig.server.Send(std::string(1234, 'a')));
  std::string got;
  ASSERT_TRUE(first.ReadExactly(1234, got, 5s));
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, second, 1));
  ASSERT_TRUE(rig.server.Send("xyz"));
  ASSERT_TRUE(first.ReadExactly(3, got, 5s));
  ASSERT_TRUE(second.ReadExactly(3, got, 5s));

  const std::regex shape(kStampRegex + "2 clients:\n" + kStatusHeader +
                         R"(  1\.    127\.  0\.  0\.  1           1237       0:00:0\d           0\n)"
                         R"(  2\.    127\.  0\.  0\.  1              3       0:00:0\d           0\n)");
  for (const std::string& how : WaysToAsk()) {
    // A worker counts its bytes just after the send that delivered them, so
    // a table asked for at that instant may be a moment behind: ask again.
    std::string table = rig.Status(how, 2);
    for (int again = 0; again < 5 && !std::regex_match(table, shape); ++again) table = rig.Status(how, 2);
    EXPECT_TRUE(std::regex_match(table, shape)) << how << "\n" << table;
  }
}

TEST(StatusTable, ASecondAndATenthSigusr1EachPrintTheTable) {
  // Catches a status request answered only once (a handler reset, or a flag never lowered).
  if (RelayIsWindowsBuild()) GTEST_SKIP() << "Windows has no SIGUSR1";
  StatusRig rig;
  ASSERT_TRUE(rig.Ready());
  for (size_t asked = 1; asked <= 10; ++asked) {
    rig.relay.Process().Signal(SIGUSR1);
    ASSERT_TRUE(rig.relay.Process().WaitForStderr(" clients:\n", 5s, asked)) << "signal " << asked;
  }
  EXPECT_TRUE(rig.relay.Process().Running());
}

// The Queued column of the table's only row; -1 when there is no row.
int64_t QueuedOfFirstRow(const std::string& table) {
  std::smatch row;
  if (!std::regex_search(table, row, std::regex(R"(\n  1\.    127\.  0\.  0\.  1 +\d+ +\d+:\d\d:\d\d +(\d+)\n)"))) {
    return -1;
  }
  return std::stoll(row[1]);
}

TEST(StatusTable, AClientThatReadsNothingShowsItsQueueGrowWhileTheServerSends) {
  // Catches a Queued column blind to a stalled client's backlog (and a kit client the relay never waits for).
  StatusRig rig;
  ASSERT_TRUE(rig.Ready());
  TestClient stalled;
  stalled.SetSmallWindow();
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, stalled, 0));
  ASSERT_TRUE(rig.server.Send(Pattern(300'000)));
  int64_t first = -1;
  ASSERT_TRUE(WaitUntil([&] { return (first = QueuedOfFirstRow(rig.Status("S", 1))) > 0; }, 5s));
  int64_t later = -1;
  EXPECT_TRUE(WaitUntil([&] { return (later = QueuedOfFirstRow(rig.Status("S", 1))) > first; }, 5s))
      << first << " then " << later;
}

TEST(StatusTable, HeldRecordAfterATimeLimitIsInactiveAndTimedFromTheCutOff) {
  StatusRig rig("Y, 127.0.0.1, 255.255.255.255, N, 3, N");
  ASSERT_TRUE(rig.Ready());
  TestClient client;
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, client, 0));
  ASSERT_TRUE(client.WaitForClose(10s));
  ASSERT_TRUE(rig.relay.Process().WaitForStdout("time limit hit", 5s));
  const std::string table = rig.Status("S", 1);
  // Counted from the cut-off moments ago, not from the admission 3 s back.
  EXPECT_TRUE(std::regex_match(table, std::regex(kStampRegex + "1 clients:\n" + kStatusHeader +
                                                 R"(  1\.    127\.  0\.  0\.  1              0       0:00:0[01]           0   \(inactive\)\n)")))
      << table;
}

}  // namespace
}  // namespace veltor::testing
