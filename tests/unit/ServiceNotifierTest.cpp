// What the service manager receives: the datagrams themselves on a real Unix
// datagram socket, in order, and their pace on a fake tick.
#include "relay/ServiceNotifier.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ServiceNotify.h"
#include "tests/support/FakeClock.h"
#include "tests/support/Loopback.h"
#include "tests/support/TempDir.h"

namespace veltor {
namespace {

using testing::OwnedFd;

// The manager's end: a datagram socket at a path, or at "@name" in the
// abstract namespace.
class ManagerSocket {
 public:
  explicit ManagerSocket(const std::string& address, int receiveBuffer = 0) : address_(address) {
    fd_ = OwnedFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (receiveBuffer > 0) ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    std::memcpy(local.sun_path, address.data(), address.size());
    if (address[0] == '@') local.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
    bound_ = ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&local), length) == 0;
  }
  bool Bound() const { return bound_; }
  const std::string& Address() const { return address_; }

  // Every datagram waiting now: a send to a local socket has queued it on return.
  std::vector<std::string> Take() {
    std::vector<std::string> datagrams;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::recv(fd_.get(), buffer, sizeof buffer, 0)) >= 0) {
      datagrams.emplace_back(buffer, static_cast<size_t>(got));
    }
    return datagrams;
  }

 private:
  std::string address_;
  OwnedFd fd_;
  bool bound_ = false;
};

using Datagrams = std::vector<std::string>;

ServiceEnvironment Environment(const std::string& socket, std::optional<std::string> usec = std::nullopt,
                               std::optional<std::string> pid = std::nullopt) {
  return {socket, std::move(usec), std::move(pid)};
}

TEST(ServiceNotify, OneDatagramToAPathOrAnAbstractName) {
  testing::TempDir dir;
  ManagerSocket atPath(dir.Path() + "/notify");
  ManagerSocket abstract("@veltor-test-notify-" + std::to_string(::getpid()));
  ASSERT_TRUE(atPath.Bound() && abstract.Bound());

  EXPECT_TRUE(SendServiceNotification(atPath.Address(), "READY=1"));
  EXPECT_TRUE(SendServiceNotification(abstract.Address(), "STATUS=server connected"));
  EXPECT_EQ(atPath.Take(), Datagrams{"READY=1"});
  EXPECT_EQ(abstract.Take(), Datagrams{"STATUS=server connected"});

  EXPECT_FALSE(SendServiceNotification(dir.Path() + "/nobody", "READY=1"));
  EXPECT_FALSE(SendServiceNotification("relative/notify", "READY=1"));
}

TEST(ServiceNotify, AManagerThatReadsNothingCostsMessagesNotWaits) {
  testing::TempDir dir;
  ManagerSocket manager(dir.Path() + "/notify", 4096);
  ASSERT_TRUE(manager.Bound());
  const auto start = std::chrono::steady_clock::now();
  int sent = 0;
  while (sent < 100000 && SendServiceNotification(manager.Address(), "WATCHDOG=1")) ++sent;
  EXPECT_LT(sent, 100000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(ServiceNotifier, OffWithoutNotifySocket) {
  ServiceNotifier notifier(ServiceEnvironment{std::nullopt, "2000000", std::nullopt}, 42, 0);
  EXPECT_FALSE(notifier.Enabled());
  EXPECT_FALSE(notifier.WatchdogEnabled());
  notifier.Ready();
  notifier.Status("anything");
  notifier.Tick(5000);
  EXPECT_EQ(notifier.MsUntilNextTick(5000), kServiceIdleWaitMs);
}

TEST(ServiceNotifier, ReadyOnceStatusAtMostOnceASecondWithTheLatestTextThenStopping) {
  testing::TempDir dir;
  ManagerSocket manager(dir.Path() + "/notify");
  ASSERT_TRUE(manager.Bound());
  testing::FakeClock clock(10'000);
  testing::ScopedClock installed(clock);
  ServiceNotifier notifier(Environment(manager.Address()), 42, clock.TickMs());

  notifier.Ready();
  notifier.Ready();
  notifier.Status("server not connected, not listening, 0 clients");
  notifier.Status("server not connected, not listening, 0 clients");
  EXPECT_EQ(manager.Take(), (Datagrams{"READY=1", "STATUS=server not connected, not listening, 0 clients"}));

  clock.AdvanceTick(300);
  notifier.Status("server connected, not listening, 0 clients");
  notifier.Status("server connected, listening on port 7024, 0 clients");
  EXPECT_EQ(notifier.MsUntilNextTick(clock.TickMs()), 700u);
  notifier.Tick(clock.TickMs() + 699);
  EXPECT_EQ(manager.Take(), Datagrams{});
  notifier.Tick(clock.TickMs() + 700);
  EXPECT_EQ(manager.Take(), Datagrams{"STATUS=server connected, listening on port 7024, 0 clients"});
  EXPECT_EQ(notifier.MsUntilNextTick(clock.TickMs() + 700), kServiceIdleWaitMs);

  clock.AdvanceTick(5000);
  notifier.Status("server connected, listening on port 7024, 1 client");
  notifier.Stopping();
  EXPECT_EQ(manager.Take(), (Datagrams{"STATUS=server connected, listening on port 7024, 1 client", "STOPPING=1"}));
}

TEST(ServiceNotifier, WatchdogEveryHalfIntervalForThisProcessOnly) {
  testing::TempDir dir;
  ManagerSocket manager(dir.Path() + "/notify");
  ASSERT_TRUE(manager.Bound());
  // The tick wraps between the beats.
  const uint32_t start = 0xFFFFFFFFu - 1000;
  ServiceNotifier notifier(Environment(manager.Address(), "3000000", "42"), 42, start);
  ASSERT_TRUE(notifier.WatchdogEnabled());

  EXPECT_EQ(notifier.MsUntilNextTick(start), kServiceIdleWaitMs);
  EXPECT_EQ(notifier.MsUntilNextTick(start + 600), 900u);
  notifier.Tick(start + 1499);
  EXPECT_EQ(manager.Take(), Datagrams{});
  notifier.Tick(start + 1500);
  notifier.Tick(start + 2000);
  EXPECT_EQ(manager.Take(), Datagrams{"WATCHDOG=1"});
  notifier.Tick(start + 3000);
  EXPECT_EQ(manager.Take(), Datagrams{"WATCHDOG=1"});

  EXPECT_FALSE(ServiceNotifier(Environment(manager.Address(), "3000000", "43"), 42, 0).WatchdogEnabled());
  EXPECT_FALSE(ServiceNotifier(Environment(manager.Address(), "soon"), 42, 0).WatchdogEnabled());
  EXPECT_TRUE(ServiceNotifier(Environment(manager.Address(), "3000000"), 42, 0).WatchdogEnabled());
}

}  // namespace
}  // namespace veltor
