// The relay under a service manager: what arrives on the datagram socket that
// NOTIFY_SOCKET names, read from the real program.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/Deadline.h"
#include "tests/support/FakeServer.h"
#include "tests/support/Loopback.h"
#include "tests/support/RelayHarness.h"
#include "tests/support/TempDir.h"

namespace veltor::testing {
namespace {

using namespace std::chrono_literals;

// The manager's end: a datagram socket in a scratch directory.
class ManagerSocket {
 public:
  ManagerSocket() : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.data(), path_.size());
    bound_ = ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  bool Bound() const { return bound_; }
  std::string Variable() const { return "NOTIFY_SOCKET=" + path_; }

  // The next datagram, or "<none>" when none comes within `wait`.
  std::string Next(std::chrono::milliseconds wait) {
    char buffer[4096];
    const ssize_t got = Readable(fd_.get(), wait) ? ::recv(fd_.get(), buffer, sizeof buffer, 0) : -1;
    return got >= 0 ? std::string(buffer, static_cast<size_t>(got)) : "<none>";
  }
  // Skips datagrams until `wanted` comes; false when it does not within `wait`.
  bool WaitFor(const std::string& wanted, std::chrono::milliseconds wait) {
    const Deadline deadline(wait);
    while (!deadline.Expired()) {
      if (Next(std::chrono::milliseconds(deadline.PollTimeoutMs())) == wanted) return true;
    }
    return false;
  }

 private:
  TempDir dir_;
  std::string path_ = dir_.Path() + "/notify";
  OwnedFd fd_;
  bool bound_ = false;
};

// A relay whose server is down: it is ready all the same.
RelayConfig ServerlessConfig() { return LoopbackConfig(FindFreePort()); }

TEST(ServiceManager, ReadyAfterTheSummaryAndStoppingOnSigterm) {
  // Catches a relay that never says it is ready, or ends without saying it stops.
  if (RelayIsWindowsBuild()) GTEST_SKIP() << "Windows has no Unix datagram sockets or SIGTERM";
  ManagerSocket manager;
  ASSERT_TRUE(manager.Bound());
  RelayHarness relay;
  relay.Process().SetEnvironment({manager.Variable()});
  ASSERT_TRUE(relay.Start(ServerlessConfig()));
  EXPECT_EQ(manager.Next(10s), "READY=1");
  EXPECT_TRUE(relay.Process().WaitForStderr("Max clients: 10\n\n", 5s)) << relay.Process().Stderr();
  // The first status comes from the loop, past its first wait. g++ 12's
  // ThreadSanitizer runtime loses a signal that lands while it prepares a
  // thread's first wait (one start in twenty, signalled at once).
  EXPECT_EQ(manager.Next(10s).substr(0, 7), "STATUS=");

  relay.Process().Signal(SIGTERM);
  EXPECT_TRUE(manager.WaitFor("STOPPING=1", 5s)) << relay.Process().Stderr();
  int status = -1;
  ASSERT_TRUE(relay.Process().WaitForExit(5s, &status)) << relay.Process().Stdout() << relay.Process().Stderr();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(manager.Next(0ms), "<none>");
}

// The log goes out from a thread of its own: READY=1 must wait for the
// summary, or it overtakes it (one start in ten to nine in ten without the
// wait, with the load; on one processor the log's thread runs only when the
// main thread gives way).
TEST(ServiceManager, ReadyOnlyOnceTheSummaryIsOnStandardError) {
  if (RelayIsWindowsBuild()) GTEST_SKIP() << "Windows has no Unix datagram sockets";
  ManagerSocket manager;
  ASSERT_TRUE(manager.Bound());
  RelayHarness relay;
  // Straight into a file, so nothing on the test's side lags behind.
  const std::string errPath = relay.Dir().Path() + "/stderr";
  const OwnedFd err(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  const RelayConfig config = ServerlessConfig();
  const std::string path = relay.Dir().WriteFile("veltor.cfg", config.Render());
  relay.Process().SetEnvironment({manager.Variable()});
  ASSERT_TRUE(relay.Process().Start("taskset", {"-c", "0", VeltorBinary(), path}, false, {.err = err.get()}));
  ASSERT_EQ(manager.Next(10s), "READY=1");
  std::ifstream written(errPath);
  const std::string text{std::istreambuf_iterator<char>(written), std::istreambuf_iterator<char>()};
  EXPECT_NE(text.find("Max clients: 10\n\n"), std::string::npos) << text;
  ASSERT_TRUE(relay.Quit(nullptr));
}

TEST(ServiceManager, ARefusedConfigurationIsNeverReady) {
  if (RelayIsWindowsBuild()) GTEST_SKIP() << "Windows has no Unix datagram sockets";
  ManagerSocket manager;
  ASSERT_TRUE(manager.Bound());
  RelayHarness relay;
  relay.Process().SetEnvironment({manager.Variable()});
  ASSERT_TRUE(relay.StartWithArgs({relay.Dir().WriteFile("c.conf", "h\n23\n24\n5\n")}));
  int status = -1;
  ASSERT_TRUE(relay.Process().WaitForExit(10s, &status));
  EXPECT_EQ(status, 252);
  EXPECT_EQ(manager.Next(0ms), "<none>");
}

TEST(ServiceManager, StatusNamesTheServerGoingAndComingBack) {
  if (RelayIsWindowsBuild()) GTEST_SKIP() << "Windows has no Unix datagram sockets";
  ManagerSocket manager;
  ASSERT_TRUE(manager.Bound());
  FakeServer server;
  ASSERT_TRUE(server.Listen());
  const RelayConfig config = LoopbackConfig(server.Port());
  RelayHarness relay;
  relay.Process().SetEnvironment({manager.Variable()});
  ASSERT_TRUE(relay.Start(config));
  ASSERT_TRUE(server.AcceptConnection(kCap));
  const std::string listening = ", listening on port " + std::to_string(config.listenPort) + ", 0 clients";
  EXPECT_TRUE(manager.WaitFor("STATUS=server connected" + listening, 10s));

  // With the listener gone too, the relay cannot reconnect before the change is told.
  server.CloseListener();
  server.CloseConnection();
  EXPECT_TRUE(manager.WaitFor("STATUS=server not connected" + listening, 10s));
  ASSERT_TRUE(server.Listen(server.Port()));
  ASSERT_TRUE(server.AcceptConnection(kCap));
  EXPECT_TRUE(manager.WaitFor("STATUS=server connected" + listening, 10s));
  ASSERT_TRUE(relay.Quit(nullptr));
}

TEST(ServiceManager, WatchdogBeatsEveryHalfOfItsInterval) {
  if (RelayIsWindowsBuild()) GTEST_SKIP() << "Windows has no Unix datagram sockets";
  ManagerSocket manager;
  ASSERT_TRUE(manager.Bound());
  RelayHarness relay;
  relay.Process().SetEnvironment({manager.Variable(), "WATCHDOG_USEC=400000"});
  ASSERT_TRUE(relay.Start(ServerlessConfig()));
  ASSERT_EQ(manager.Next(10s), "READY=1");
  // A beat every 200 ms: ten in two seconds, fewer when the machine is busy.
  int beats = 0;
  const Deadline window(2000ms);
  while (!window.Expired()) {
    if (manager.Next(std::chrono::milliseconds(window.PollTimeoutMs())) == "WATCHDOG=1") ++beats;
  }
  EXPECT_GE(beats, 7);
  EXPECT_LE(beats, 11);
  ASSERT_TRUE(relay.Quit(nullptr));
}

}  // namespace
}  // namespace veltor::testing
