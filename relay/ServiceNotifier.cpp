#include "relay/ServiceNotifier.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "base/Clock.h"
#include "platform/ServiceNotify.h"

namespace veltor {

namespace {

std::optional<std::string> Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

// A whole decimal number and nothing else.
template <class Integer>
bool ReadDecimal(const std::string& text, Integer& value) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return !text.empty() && error == std::errc() && stop == end;
}

// Half of WATCHDOG_USEC in milliseconds (at least 1), or 0 when the watchdog
// is unset, unreadable, or meant for another process.
uint32_t WatchdogIntervalMs(const ServiceEnvironment& environment, int64_t ownPid) {
  uint64_t usec = 0;
  if (!environment.watchdogUsec || !ReadDecimal(*environment.watchdogUsec, usec) || usec == 0) return 0;
  int64_t pid = 0;
  if (environment.watchdogPid && (!ReadDecimal(*environment.watchdogPid, pid) || pid != ownPid)) return 0;
  const uint64_t halfMs = usec / 2000;
  return static_cast<uint32_t>(std::clamp<uint64_t>(halfMs, 1, UINT32_MAX / 2));
}

}  // namespace

ServiceEnvironment ReadServiceEnvironment() {
  return {Variable("NOTIFY_SOCKET"), Variable("WATCHDOG_USEC"), Variable("WATCHDOG_PID")};
}

ServiceNotifier::ServiceNotifier(const ServiceEnvironment& environment, int64_t ownPid, uint32_t nowTick)
    : socketPath_(environment.notifySocket.value_or("")),
      watchdogIntervalMs_(WatchdogIntervalMs(environment, ownPid)),
      lastWatchdogTick_(nowTick) {}

void ServiceNotifier::Send(const std::string& message) {
  // A manager that reads nothing costs one lost message, never a wait.
  SendServiceNotification(socketPath_, message);
}

void ServiceNotifier::Ready() {
  if (!Enabled() || readySent_) return;
  readySent_ = true;
  Send("READY=1");
}

void ServiceNotifier::Status(const std::string& text) {
  if (!Enabled()) return;
  statusWanted_ = text;
  if (statusEverSent_ && statusWanted_ == statusSent_) return;
  const uint32_t now = TickNow();
  if (!statusEverSent_ || now - lastStatusTick_ >= kServiceStatusIntervalMs) SendStatus(now);
}

void ServiceNotifier::SendStatus(uint32_t nowTick) {
  statusSent_ = statusWanted_;
  statusEverSent_ = true;
  lastStatusTick_ = nowTick;
  Send("STATUS=" + statusSent_);
}

void ServiceNotifier::Stopping() {
  if (Enabled()) Send("STOPPING=1");
}

void ServiceNotifier::Tick(uint32_t nowTick) {
  if (!Enabled()) return;
  if (statusEverSent_ && statusWanted_ != statusSent_ && nowTick - lastStatusTick_ >= kServiceStatusIntervalMs) {
    SendStatus(nowTick);
  }
  if (watchdogIntervalMs_ > 0 && nowTick - lastWatchdogTick_ >= watchdogIntervalMs_) {
    lastWatchdogTick_ = nowTick;
    Send("WATCHDOG=1");
  }
}

uint32_t ServiceNotifier::MsUntilNextTick(uint32_t nowTick) const {
  uint32_t wait = kServiceIdleWaitMs;
  if (!Enabled()) return wait;
  auto until = [nowTick](uint32_t since, uint32_t interval) {
    const uint32_t passed = nowTick - since;
    return passed >= interval ? 0 : interval - passed;
  };
  if (statusEverSent_ && statusWanted_ != statusSent_) {
    wait = std::min(wait, until(lastStatusTick_, kServiceStatusIntervalMs));
  }
  if (watchdogIntervalMs_ > 0) wait = std::min(wait, until(lastWatchdogTick_, watchdogIntervalMs_));
  return wait;
}

}  // namespace veltor
