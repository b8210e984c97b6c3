// Name look-ups one after another, far more of them than may run at once: a
// whole relay in-process, a resolver of the test's own and a clock that jumps
// a second per step, so a dozen admissions take a moment.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/Constants.h"
#include "relay/Relay.h"
#include "relay/RelayLoop.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeResolver.h"
#include "tests/support/FakeServer.h"
#include "tests/support/Loopback.h"
#include "tests/support/NoKeys.h"
#include "tests/support/TestClient.h"

namespace veltor {
namespace {

using namespace std::chrono_literals;
using namespace testing;


TEST(ManyLookUps, AfterMoreThanMayRunAtOnceEveryClientGetsItsNameAndTheServerIsFoundByName) {
  // Catches a finished look-up that keeps its place among the kLookupThreadsMax allowed at once.
  constexpr int kClients = kLookupThreadsMax + 4;
  FakeServer server;
  ASSERT_TRUE(server.Listen());
  uint16_t listenPort = 0;
  const OwnedFd portHold(HoldFreePort(listenPort));
  RelaySettings settings;
  settings.serverHost = "console.test";
  settings.serverPort = server.Port();
  settings.listenPort = listenPort;
  settings.maxClients = kClients;
  MaskRule loopback;
  loopback.address = kLoopbackAddress;
  loopback.mask = 0xFFFFFFFFu;
  loopback.allow = loopback.dupeOK = true;
  settings.rules = {loopback};
  FakeResolver resolver;
  resolver.hosts["console.test"] = htonl(kLoopbackAddress);
  resolver.names[kLoopbackAddress] = "watcher.test";

  FakeClock clock;
  ScopedClock scoped{clock};
  CapturedOutput output;
  std::vector<std::unique_ptr<TestClient>> clients;
  {
    const RelayOptions options;
    Relay relay(settings, options, resolver);
    NoKeys keys;
    RelayLoop loop(relay, keys);
    loop.Start();
    // Each step is a pass with its once-a-second block; the pause lets a
    // look-up thread that was slow to start answer before the next verdict.
    const auto step = [&] {
      clock.AdvanceTick(kRetryIntervalMs);
      loop.Step();
      std::this_thread::sleep_for(20ms);
    };
    ASSERT_TRUE(WaitUntil([&] {
      step();
      return server.AcceptConnection(0ms);
    }));
    for (int i = 0; i < kClients; ++i) {
      clients.push_back(std::make_unique<TestClient>());
      ASSERT_TRUE(clients.back()->Connect(listenPort));
      ASSERT_TRUE(WaitUntil([&] {
        step();
        return relay.Table().Count() == i + 1;
      })) << "client " << i;
    }
    // The server goes; finding it again takes one more look-up by name.
    server.CloseConnection();
    EXPECT_TRUE(WaitUntil([&] {
      step();
      return server.AcceptConnection(0ms);
    }));
    relay.ShutDown();
  }
  const std::string out = output.Out();
  EXPECT_EQ(CountOccurrences(out, ": Conn: 127.0.0.1 (watcher.test)... accepted: NoPassRx  0\n"),
            static_cast<size_t>(kClients))
      << out;
  EXPECT_EQ(CountOccurrences(out, ": server socket created to console.test:" + std::to_string(server.Port()) + "\n"),
            2u)
      << out;
}

}  // namespace
}  // namespace veltor
