// Relays in a chain, and the bundled demo: the example configuration against
// the demo feed, as a newcomer first runs them.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/Frames.h"
#include "tests/support/Loopback.h"
#include "tests/support/Patterns.h"
#include "tests/support/RelayHarness.h"

namespace veltor::testing {
namespace {

using namespace std::chrono_literals;

TEST(Cascade, EveryByteReachesAClientOfTheSecondRelayInOrder) {
  RelayWithServer upstream;
  ASSERT_TRUE(upstream.Ready());

  // The second relay is the first one's client; its own clients see its
  // greeting, then the first relay's stream.
  RelayConfig second = LoopbackConfig(upstream.config.listenPort);
  second.modTexts = {"edge"};
  RelayHarness downstream;
  ASSERT_TRUE(downstream.StartAndWaitListening(second));
  ASSERT_TRUE(downstream.Process().WaitForStdout("server socket created to", 5s));
  ASSERT_TRUE(upstream.relay.Process().WaitForStdout("accepted: ", 5s));

  TestClient client;
  ASSERT_TRUE(ConnectAdmittedClient(downstream, client, 0));
  EXPECT_EQ(ReadGreeting(client, 1), std::vector<std::string>{"edge"});

  const std::string data = Pattern(30'000);
  for (size_t at = 0; at < data.size(); at += 1500) ASSERT_TRUE(upstream.server.Send(data.substr(at, 1500)));
  std::string got;
  ASSERT_TRUE(client.ReadExactly(data.size(), got, 20s));
  EXPECT_TRUE(got == data);

  // Typing flows back up the chain to the server.
  ASSERT_TRUE(client.Send("up the chain"));
  std::string typed;
  ASSERT_TRUE(upstream.server.ReceiveExactly(12, typed, 5s));
  EXPECT_EQ(typed, "up the chain");
}

// The example configuration with its two ports replaced by free ones.
std::string ExampleConfigWithPorts(uint16_t feedPort, uint16_t listenPort) {
  std::ifstream file(std::string(VELTOR_SOURCE_DIR) + "/examples/veltor.conf");
  std::stringstream text;
  text << file.rdbuf();
  std::string config = std::regex_replace(text.str(), std::regex("(^|\n)7023\n"), "$01" + std::to_string(feedPort) + "\n");
  return std::regex_replace(config, std::regex("(^|\n)7024\n"), "$01" + std::to_string(listenPort) + "\n");
}

TEST(Demo, ExampleConfigurationRelaysTheDemoFeedBothWays) {
  const uint16_t feedPort = FindFreePort();
  const uint16_t listenPort = FindFreePort();
  ChildProcess feed;
  ASSERT_TRUE(feed.Start(VELTOR_DEMO_FEED, {std::to_string(feedPort)}));
  ASSERT_TRUE(feed.WaitForStderr("listening", 5s));

  RelayHarness relay;
  const std::string config = ExampleConfigWithPorts(feedPort, listenPort);
  // Appended rather than "\n" + ...: GCC 12 at -O3 misreads that insert as an overlapping copy.
  const std::string listenLine = std::string("\n").append(std::to_string(listenPort)).append("\n");
  ASSERT_NE(config.find(listenLine), std::string::npos);
  ASSERT_TRUE(relay.StartWithArgs({relay.Dir().WriteFile("veltor.conf", config)}));
  ASSERT_TRUE(relay.Process().WaitForStdout("listen socket created on port " + std::to_string(listenPort), 10s));

  TestClient client;
  ASSERT_TRUE(client.Connect(listenPort));
  ASSERT_TRUE(relay.Process().WaitForStdout("accepted:   PassRx  0\n", 5s));
  EXPECT_EQ(ReadGreeting(client, 1), std::vector<std::string>{"Welcome to the Veltor demo relay"});

  ASSERT_TRUE(client.Send("hello relay\r\n"));
  std::string seen;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline &&
         (seen.find("echo: hello relay") == std::string::npos || seen.find("demo-feed: line") == std::string::npos)) {
    seen += client.ReadFor(200ms);
  }
  EXPECT_NE(seen.find("demo-feed: line"), std::string::npos) << seen;
  EXPECT_NE(seen.find("echo: hello relay"), std::string::npos) << seen;
}

}  // namespace
}  // namespace veltor::testing
