// What the relay tells systemd when started as a Type=notify service:
// readiness, a one-line status, the watchdog's heartbeat and the start of
// its shutdown. Without NOTIFY_SOCKET it is off and every call returns at
// once. Main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace veltor {

// The variables systemd sets for the service; std::nullopt when unset.
struct ServiceEnvironment {
  std::optional<std::string> notifySocket;  // NOTIFY_SOCKET
  std::optional<std::string> watchdogUsec;  // WATCHDOG_USEC
  std::optional<std::string> watchdogPid;   // WATCHDOG_PID
};

// The three variables of this process.
ServiceEnvironment ReadServiceEnvironment();

class ServiceNotifier {
 public:
  // `ownPid` decides whether a watchdog named by WATCHDOG_PID is ours; the
  // watchdog's first beat is due half its interval after `nowTick`.
  ServiceNotifier(const ServiceEnvironment& environment, int64_t ownPid, uint32_t nowTick);

  bool Enabled() const { return !socketPath_.empty(); }
  bool WatchdogEnabled() const { return Enabled() && watchdogIntervalMs_ > 0; }

  // "READY=1", the first time only.
  void Ready();
  // "STATUS=text" when `text` differs from the last one sent: at once when
  // none went out in the last second (by TickNow()), otherwise the latest
  // text is kept for Tick to send when the second is up.
  void Status(const std::string& text);
  // "STOPPING=1".
  void Stopping();
  // Sends a kept status whose second is up, and "WATCHDOG=1" every half of
  // WATCHDOG_USEC. Call it from every turn of the loop.
  void Tick(uint32_t nowTick);
  // How long the loop may sleep before Tick has something to send; at most
  // kServiceIdleWaitMs.
  uint32_t MsUntilNextTick(uint32_t nowTick) const;

 private:
  void Send(const std::string& message);
  void SendStatus(uint32_t nowTick);

  std::string socketPath_;
  uint32_t watchdogIntervalMs_ = 0;  // 0: no watchdog for this process
  uint32_t lastWatchdogTick_ = 0;
  bool readySent_ = false;
  std::string statusSent_;
  std::string statusWanted_;
  bool statusEverSent_ = false;
  uint32_t lastStatusTick_ = 0;
};

// Longest sleep MsUntilNextTick allows when nothing is due: the relay loop's
// own idle bound.
inline constexpr uint32_t kServiceIdleWaitMs = 1000;
// STATUS= goes out at most this often.
inline constexpr uint32_t kServiceStatusIntervalMs = 1000;

}  // namespace veltor
