// A name server that does not answer, met by a whole relay in-process: the
// streams, the admission verdicts and the shutdown go on without it.
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "base/ThreadCheck.h"
#include "relay/Relay.h"
#include "relay/RelayLoop.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeResolver.h"
#include "tests/support/FakeServer.h"
#include "tests/support/Loopback.h"
#include "tests/support/NoKeys.h"
#include "tests/support/TestClient.h"

namespace veltor {
namespace {

using namespace std::chrono_literals;
using namespace testing;


class ShutdownFlag final : public LoopRequests {
 public:
  bool ShutdownRequested() override { return requested.load(); }
  bool TakeStatusRequest() override { return false; }
  std::atomic<bool> requested{false};
};

TEST(SlowNameServer, LookUpsThatHangHoldNeitherTheStreamsNorTheVerdictsNorTheShutdown) {
  FakeServer server;
  ASSERT_TRUE(server.Listen());
  RelaySettings settings;
  settings.serverHost = "127.0.0.1";
  settings.serverPort = server.Port();
  settings.listenPort = FindFreePort();
  settings.maxClients = 10;
  MaskRule loopback;
  loopback.address = kLoopbackAddress;
  loopback.mask = 0xFFFFFFFFu;
  loopback.allow = loopback.passRx = loopback.dupeOK = true;
  settings.rules = {loopback};
  FakeResolver resolver;
  resolver.hang = 10s;  // every reverse look-up, as with a name server that swallows queries

  CapturedOutput output;
  std::chrono::milliseconds longestGap{0};
  std::chrono::steady_clock::duration shutdownTook{};
  {
    const RelayOptions options;
    Relay relay(settings, options, resolver);
    NoKeys keys;
    ShutdownFlag requests;
    RelayLoop loop(relay, keys, &requests);
    std::thread running([&] {
      MarkMainThread();  // this thread runs the relay's loop until it hands back
      loop.Start();
      while (loop.Step()) {
      }
    });
    // Ends the loop on every way out of this block, a failed assertion too.
    struct Joiner {
      ShutdownFlag& requests;
      std::thread& thread;
      ~Joiner() {
        requests.requested.store(true);
        if (thread.joinable()) thread.join();
      }
    } joiner{requests, running};
    ASSERT_TRUE(server.AcceptConnection(5s));
    TestClient first, second;
    // The listen socket opens right after the server connection.
    ASSERT_TRUE(WaitUntil([&] { return first.Connect(settings.listenPort, 100ms); }));

    // A byte every 20 ms; the first client is admitted a second later,
    // without its name, and from then on must see them without a pause while
    // the second client's look-up hangs too.
    std::string got;
    auto lastArrival = std::chrono::steady_clock::now();
    const auto started = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - started < 5s) {
      ASSERT_TRUE(server.Send("."));
      const std::string piece = first.ReadFor(20ms);
      const auto now = std::chrono::steady_clock::now();
      if (!piece.empty()) {
        if (!got.empty()) {
          longestGap = std::max(longestGap, std::chrono::duration_cast<std::chrono::milliseconds>(now - lastArrival));
        }
        lastArrival = now;
        got += piece;
      }
      if (!second.IsConnected() && now - started > 2s) {
        ASSERT_TRUE(second.Connect(settings.listenPort));
      }
    }
    EXPECT_GT(got.size(), 50u);

    const auto stopping = std::chrono::steady_clock::now();
    requests.requested.store(true);
    running.join();
    MarkMainThread();
    relay.ShutDown();
    shutdownTook = std::chrono::steady_clock::now() - stopping;
  }
  // Generous bounds for a loaded machine: the faults they catch took 10 s.
  EXPECT_LT(longestGap, 1000ms);
  EXPECT_LT(shutdownTook, 2s);
  EXPECT_EQ(CountOccurrences(output.Out(), ": Conn: 127.0.0.1 ()... accepted:   PassRx  0\n"), 2u) << output.Out();
  std::printf("longest gap %lld ms, shutdown %lld ms\n", static_cast<long long>(longestGap.count()),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(shutdownTook).count()));
}

}  // namespace
}  // namespace veltor
