// veltor-watch against the real relay: greetings as text lines, then the
// server's stream raw, typed lines up to the server, and a clean exit.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/FakeServer.h"
#include "tests/support/Ports.h"
#include "tests/support/RelayHarness.h"

namespace veltor::testing {
namespace {

using namespace std::chrono_literals;

TEST(Watch, ShowsGreetingsAsTextThenRelaysBothWays) {
  FakeServer server;
  ASSERT_TRUE(server.Listen());
  RelayConfig config;
  config.modTexts = {"Welcome to the test relay", "second \x1b[31mline"};
  config.serverPort = server.Port();
  config.listenPort = FindFreePort();
  config.ruleLines = {kAllowLoopbackRule};
  RelayHarness relay;
  ASSERT_TRUE(relay.StartAndWaitListening(config));
  ASSERT_TRUE(server.AcceptConnection(5s));

  ChildProcess watch;
  ASSERT_TRUE(watch.Start(VELTOR_WATCH_BINARY, {"127.0.0.1", std::to_string(config.listenPort)}));
  ASSERT_TRUE(relay.Process().WaitForStdout("accepted: ", 5s));
  const std::string greetings = "[greeting] Welcome to the test relay\n[greeting] second \\x1B[31mline\n";
  ASSERT_TRUE(watch.WaitForStdout(greetings, 5s)) << watch.Stdout();

  // Server data that begins like a frame is shown raw once it cannot be one.
  const std::string data = "telemetry \x1b[0m42\r\n";
  ASSERT_TRUE(server.Send(data));
  ASSERT_TRUE(watch.WaitForStdout(data, 5s)) << watch.Stdout();
  EXPECT_EQ(watch.Stdout(), greetings + data);

  ASSERT_TRUE(watch.WriteStdin("typed line\n"));
  std::string typed;
  ASSERT_TRUE(server.ReceiveExactly(11, typed, 5s));
  EXPECT_EQ(typed, "typed line\n");

  watch.CloseStdin();
  int status = -1;
  ASSERT_TRUE(watch.WaitForExit(5s, &status));
  EXPECT_EQ(status, 0) << watch.Stderr();
}

}  // namespace
}  // namespace veltor::testing
