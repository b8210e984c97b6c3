// veltor-watch against the real relay: greetings as text lines, then the
// server's stream raw, typed lines up to the server, and a clean exit.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/RelayHarness.h"

namespace veltor::testing {
namespace {

using namespace std::chrono_literals;

TEST(Watch, ShowsGreetingsAsTextThenRelaysBothWays) {
  RelayWithServer rig({kAllowLoopbackRule}, 10, {"Welcome to the test relay", "second \x1b[31mline"});
  ASSERT_TRUE(rig.Ready());

  ChildProcess watch;
  ASSERT_TRUE(watch.Start(VELTOR_WATCH_BINARY, {"127.0.0.1", std::to_string(rig.config.listenPort)}));
  ASSERT_TRUE(rig.relay.Process().WaitForStdout("accepted: ", 5s));
  const std::string greetings = "[greeting] Welcome to the test relay\n[greeting] second \\x1B[31mline\n";
  ASSERT_TRUE(watch.WaitForStdout(greetings, 5s)) << watch.Stdout();

  // Server data that begins like a frame is shown raw once it cannot be one.
  const std::string data = "telemetry \x1b[0m42\r\n";
  ASSERT_TRUE(rig.server.Send(data));
  ASSERT_TRUE(watch.WaitForStdout(data, 5s)) << watch.Stdout();
  EXPECT_EQ(watch.Stdout(), greetings + data);

  ASSERT_TRUE(watch.WriteStdin("typed line\n"));
  std::string typed;
  ASSERT_TRUE(rig.server.ReceiveExactly(11, typed, 5s));
  EXPECT_EQ(typed, "typed line\n");

  watch.CloseStdin();
  int status = -1;
  ASSERT_TRUE(watch.WaitForExit(5s, &status));
  EXPECT_EQ(status, 0) << watch.Stderr();
}

}  // namespace
}  // namespace veltor::testing
