// The relay at rest: asleep while nothing happens, awake at once when
// something does, whatever its standard input is.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/FakeServer.h"
#include "tests/support/Loopback.h"
#include "tests/support/RelayHarness.h"

namespace veltor::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds Since(Clock::time_point start) { return std::chrono::duration_cast<milliseconds>(Clock::now() - start); }

// Processor time (user and system) that process `pid` has used so far.
milliseconds ProcessorTime(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The fields after the command name, which stands in parentheses and may hold blanks: state is field 3.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long long ticks = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14 || number == 15) ticks += std::stoll(field);  // utime, stime
  }
  return milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
}

TEST(RelayAtRest, AfterAQuietSpellDataGoesEitherWayWithinAPassOrTwo) {
  // Catches an idle sleep that the wake signal does not cut short: data would wait for the next second.
  RelayWithServer rig;  // its standard input: an open pipe with nothing in it
  ASSERT_TRUE(rig.Ready());
  TestClient client;
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, client, 0));
  std::this_thread::sleep_for(3s);  // nothing to do: the relay goes to sleep

  // Six times, each at another point of the relay's second.
  milliseconds slowest{0};
  for (int round = 0; round < 6; ++round) {
    const auto sent = Clock::now();
    std::string got;
    if (round % 2 == 0) {
      ASSERT_TRUE(rig.server.Send("d"));
      ASSERT_TRUE(client.ReadExactly(1, got, 5s));
    } else {
      ASSERT_TRUE(client.Send("u"));
      ASSERT_TRUE(rig.server.ReceiveExactly(1, got, 5s));
    }
    slowest = std::max(slowest, Since(sent));
    std::this_thread::sleep_for(milliseconds(700 + 130 * round));
  }
  EXPECT_LT(slowest, 400ms);
}

TEST(RelayAtRest, WithInputAtItsEndAQuietRelayUsesAlmostNoProcessorTime) {
  // Catches a loop that spins on an ended standard input instead of sleeping.
  FakeServer server;
  ASSERT_TRUE(server.Listen());
  const OwnedFd nothing(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_GE(nothing.get(), 0);
  RelayHarness relay;
  ASSERT_TRUE(relay.Start(LoopbackConfig(server.Port()), ChildStdio{.in = nothing.get()}));
  ASSERT_TRUE(relay.Process().WaitForStdout("listen socket created", 10s));
  ASSERT_TRUE(server.AcceptConnection(5s));
  ASSERT_TRUE(relay.Process().WaitForStdout("server socket created to", 5s));

  const pid_t pid = relay.Process().Pid();
  const milliseconds usedBefore = ProcessorTime(pid);
  const auto started = Clock::now();
  std::this_thread::sleep_for(3s);
  const milliseconds used = ProcessorTime(pid) - usedBefore;
  const milliseconds wall = Since(started);
  EXPECT_LT(used * 100, wall * 3) << used.count() << " ms of processor time in " << wall.count() << " ms";
}

}  // namespace
}  // namespace veltor::testing
