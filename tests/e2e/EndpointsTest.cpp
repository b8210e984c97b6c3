// The relay's own endpoints, run for real: retrying a missing server and a
// taken port once a second, healing when they come back, and closing both at
// shutdown in order.
#include <gtest/gtest.h>

#include <regex>

#include "tests/support/FakeServer.h"
#include "tests/support/Loopback.h"
#include "tests/support/Patterns.h"
#include "tests/support/RelayHarness.h"

namespace veltor::testing {
namespace {

using namespace std::chrono_literals;

TEST(EndpointRetries, MissingServerIsRetriedAboutOnceASecondWhileTheListenSocketOpens) {
  RelayHarness relay;
  const RelayConfig config = LoopbackConfig(FindFreePort());
  ASSERT_TRUE(relay.StartAndWaitListening(config));
  const auto first = std::chrono::steady_clock::now();
  ASSERT_TRUE(relay.Process().WaitForStderr("Unable to connect to server. Check address and port\n", 10s, 4));
  const auto elapsed = std::chrono::steady_clock::now() - first;
  EXPECT_GE(elapsed, 2s);  // four attempts, a second apart
  EXPECT_LT(elapsed, 8s);
  const std::regex retry("(^|\n)" + kStampRegex + "Unable to connect to server. Check address and port\n");
  EXPECT_TRUE(std::regex_search(relay.Process().Stderr(), retry));
  EXPECT_TRUE(std::regex_match(relay.Process().Stdout(),
                               std::regex(kStampRegex + "listen socket created on port " +
                                          std::to_string(config.listenPort) + "\n")));
}

TEST(EndpointRetries, ServerThatComesUpGoesAwayAndReturnsIsFollowed) {
  const uint16_t serverPort = FindFreePort();
  RelayHarness relay;
  ASSERT_TRUE(relay.StartAndWaitListening(LoopbackConfig(serverPort)));
  ASSERT_TRUE(relay.Process().WaitForStderr("Unable to connect to server", 5s));

  FakeServer server;
  ASSERT_TRUE(server.Listen(serverPort));
  ASSERT_TRUE(server.AcceptConnection(5s));
  const std::string created = "server socket created to 127.0.0.1:" + std::to_string(serverPort) + "\n";
  ASSERT_TRUE(relay.Process().WaitForStdout(created, 5s));

  server.CloseConnection();
  ASSERT_TRUE(relay.Process().WaitForStdout("server socket disconnected\n", 5s));
  ASSERT_TRUE(server.AcceptConnection(5s));
  ASSERT_TRUE(relay.Process().WaitForStdout(created, 5s, 2));
  EXPECT_EQ(relay.Process().CountInStdout("server socket disconnected\n"), 1u);

  int status = -1;
  ASSERT_TRUE(relay.Quit(&status));
  EXPECT_EQ(status, 0);
  // Shutdown closes the server socket, then the listen socket.
  const std::string out = relay.Process().Stdout();
  const std::regex tail(kStampRegex + "server socket disconnected\n" + kStampRegex + "listen socket disconnected\n$");
  EXPECT_TRUE(std::regex_search(out, tail)) << out;
  EXPECT_TRUE(server.WaitForPeerClose(5s));
}

TEST(EndpointRetries, TakenPortIsRetriedEachSecondUntilFreed) {
  FakeServer holder;
  ASSERT_TRUE(holder.Listen());
  FakeServer server;
  ASSERT_TRUE(server.Listen());
  RelayConfig config = LoopbackConfig(server.Port());
  config.listenPort = holder.Port();
  RelayHarness relay;
  ASSERT_TRUE(relay.Start(config));
  const std::string inUse = "Unable to create listening socket. Port might be in use\n";
  ASSERT_TRUE(relay.Process().WaitForStderr(inUse, 10s, 3));
  EXPECT_TRUE(std::regex_search(relay.Process().Stderr(), std::regex(kStampRegex + inUse)));

  holder.CloseListener();
  ASSERT_TRUE(relay.Process().WaitForStdout(
      "listen socket created on port " + std::to_string(config.listenPort) + "\n", 5s));
  const size_t attempts = relay.Process().CountInStderr(inUse);
  // Open now: no further attempts follow.
  ASSERT_TRUE(server.AcceptConnection(5s));
  EXPECT_FALSE(relay.Process().WaitForStderr(inUse, 2500ms, attempts + 1));
}

TEST(EndpointRestart, ARestartedRelayGetsItsPortBackWhileTheOldConnectionsLinger) {
  FakeServer server;
  ASSERT_TRUE(server.Listen());
  const RelayConfig config = LoopbackConfig(server.Port());
  {
    RelayHarness first;
    ASSERT_TRUE(first.StartAndWaitListening(config));
    TestClient client;
    ASSERT_TRUE(ConnectAdmittedClient(first, client, 0));
    // The relay closes the client's connection first, so its end of it
    // lingers on the listen port in TIME_WAIT.
    ASSERT_TRUE(first.Quit(nullptr));
    ASSERT_TRUE(client.WaitForClose(5s));
  }
  RelayHarness second;
  ASSERT_TRUE(second.Start(config));
  EXPECT_TRUE(second.Process().WaitForStdout("listen socket created on port " + std::to_string(config.listenPort), 5s))
      << second.Process().Stderr();
  EXPECT_EQ(second.Process().CountInStderr("Port might be in use"), 0u);
}

TEST(EndpointListenAddress, AGivenAddressIsTheOnlyOneListenedOn) {
  RelayHarness relay;
  RelayConfig config = LoopbackConfig(FindFreePort());
  config.ruleLines = {"Y, 127.0.0.0, 255.0.0.0, Y, 0, Y"};
  config.options = {"--listen=127.0.0.2"};
  ASSERT_TRUE(relay.Start(config));
  const std::string listening = "listen socket created on port " + std::to_string(config.listenPort) + "\n";
  ASSERT_TRUE(relay.Process().WaitForStdout(listening, 10s)) << relay.Process().Stderr();
  EXPECT_TRUE(std::regex_match(relay.Process().Stdout(), std::regex(kStampRegex + listening)));

  TestClient elsewhere;
  EXPECT_FALSE(elsewhere.Connect(config.listenPort));
  TestClient there;
  there.SetEnds({.remote = Ip(127, 0, 0, 2)});
  ASSERT_TRUE(ConnectAdmittedClient(relay, there, 0));
  ASSERT_TRUE(relay.Quit(nullptr));
  // The refused attempt never reached the relay: one verdict in all.
  EXPECT_EQ(relay.Process().CountInStdout("... "), 1u);
}

}  // namespace
}  // namespace veltor::testing
