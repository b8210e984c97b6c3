// veltor-ctl against a control socket whose answers come from a fake
// handler: the S table for people, the raw lines, metrics, cut's two
// answers, and what it says when no relay is there.
#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "console/StatusJson.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ControlRig.h"
#include "tests/support/Loopback.h"

namespace veltor::testing {
namespace {

using namespace std::chrono_literals;

const std::string kStatusLines = StatusLines({"console-7", 7023, true, 0, 7024, true, 2, 10, 3725},
                                             {{1, Ip(127, 0, 0, 1), "localhost", 1234, 65, 17, true, true, 0},
                                              {2, Ip(10, 1, 2, 3), "", 0, 3725, 0, false, false, 5}});
const std::string kMetrics = "# HELP veltor_clients Clients.\n# TYPE veltor_clients gauge\nveltor_clients 2\n";

struct FakeRelay {
  FakeRelay()
      : rig([this](const std::string& request) {
          std::lock_guard<std::mutex> lock(seenLock);
          seen.push_back(request);
          if (request == "status") return kStatusLines;
          if (request == "metrics") return kMetrics;
          return std::string(request == "cut 1" ? "ok\n" : "error: no client 7\n");
        }) {}
  std::vector<std::string> Seen() {
    std::lock_guard<std::mutex> lock(seenLock);
    return seen;
  }
  std::mutex seenLock;
  std::vector<std::string> seen;
  ControlRig rig;
};

using Outcome = ProgramRun;

Outcome RunCtl(const std::vector<std::string>& args) { return RunProgram(VELTOR_CTL_BINARY, args); }

TEST(Ctl, StatusShowsTheSKeysTable) {
  FakeRelay relay;
  ASSERT_TRUE(relay.rig.Start()) << relay.rig.Error();
  const Outcome outcome = RunCtl({relay.rig.Path(), "status"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  ASSERT_TRUE(std::regex_match(outcome.out.substr(0, 19), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")))
      << outcome.out;
  EXPECT_EQ(outcome.out.substr(19),
            ": 2 clients:\n"
            " ##    Address                   Bytes      Duration      Queued\n"
            "  1.    127.  0.  0.  1           1234       0:01:05          17\n"
            "  2.     10.  1.  2.  3              0       1:02:05           0   (inactive)\n");
  EXPECT_EQ(relay.Seen(), std::vector<std::string>{"status"});
}

TEST(Ctl, JsonAndMetricsAsTheyCame) {
  FakeRelay relay;
  ASSERT_TRUE(relay.rig.Start()) << relay.rig.Error();
  const Outcome json = RunCtl({"--json", relay.rig.Path(), "status"});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out, kStatusLines);
  const Outcome metrics = RunCtl({relay.rig.Path(), "metrics"});
  EXPECT_EQ(metrics.status, 0) << metrics.err;
  EXPECT_EQ(metrics.out, kMetrics);
}

TEST(Ctl, CutIsOkOrTheRelaysErrorWithStatusOne) {
  FakeRelay relay;
  ASSERT_TRUE(relay.rig.Start()) << relay.rig.Error();
  const Outcome cut = RunCtl({relay.rig.Path(), "cut", "1"});
  EXPECT_EQ(cut.status, 0);
  EXPECT_EQ(cut.out, "ok\n");
  const Outcome missing = RunCtl({relay.rig.Path(), "cut", "7"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "error: no client 7\n");
  EXPECT_EQ(relay.Seen(), (std::vector<std::string>{"cut 1", "cut 7"}));
}

TEST(Ctl, NoRelayOrWrongUsageIsStatusTwo) {
  TempDir dir;
  const std::string path = dir.Path() + "/control";
  const Outcome absent = RunCtl({path, "status"});
  EXPECT_EQ(absent.status, 2);
  EXPECT_EQ(absent.err, "veltor-ctl: cannot reach " + path + ": No such file or directory\n");
  const Outcome usage = RunCtl({path, "cut", "one"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.err,
            "veltor-ctl: cut takes one client number, as the status table numbers them\n"
            "Usage: veltor-ctl [--json] SOCKET status\n"
            "       veltor-ctl SOCKET metrics\n"
            "       veltor-ctl SOCKET cut N\n");
}

}  // namespace
}  // namespace veltor::testing
