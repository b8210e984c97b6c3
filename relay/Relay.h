// Relay: the state of one run (the two endpoints, the client table, the
// admission in progress, what is kept of the server's stream, the control
// socket) and the loop's phases over it. The program runs one with the
// system's resolver; tests run one in-process with a resolver of their own.
// Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/Options.h"
#include "base/Settings.h"
#include "clients/Admission.h"
#include "clients/ClientTable.h"
#include "clients/ReplayBuffer.h"
#include "clients/StreamLog.h"
#include "console/RelayFacts.h"
#include "net/Resolver.h"
#include "net/ServerLink.h"
#include "relay/ControlServer.h"
#include "relay/RelayLoop.h"
#include "relay/ServiceNotifier.h"

namespace veltor {

class Relay final : public LoopPhases {
 public:
  // Both endpoints start absent. `settings`, `options`, `resolver` and
  // `notifier` (null: no service manager) outlive the relay. The stream log
  // and the control socket, when asked for, start at once.
  Relay(const RelaySettings& settings, const RelayOptions& options, Resolver& resolver,
        ServiceNotifier* notifier = nullptr);

  void Sweep() override;
  void OncePerSecond() override;
  void ServerPump() override;
  void ClientPass() override;
  void PrintStatus() override;
  void ReopenFiles() override;
  bool Idle() override;
  WakeSignal* Wake() override { return &loopWake_; }
  void Tend(uint32_t tick) override;
  uint32_t LongestWaitMs(uint32_t tick) override;

  // Releases every client, then closes the server and the listen socket, each
  // with its "disconnected" line when it was open.
  void ShutDown();

  // What the operator's machine-readable views report, as of now.
  RelayFacts Facts() const;
  std::vector<ClientFacts> ClientsFacts() const;
  RelayCounters Counters() const;
  // Ends record `number` (1-based, table order) as if its connection had
  // failed, with its "Disc" line. False when there is no such record.
  bool CutClient(int64_t number);

  const ClientTable& Table() const { return table_; }

 private:
  // What the relay keeps of the server's stream besides handing it on.
  void KeepStream(const DataChunk& chunk);
  void TellServiceManager();

  const RelaySettings& settings_;
  const RelayOptions& options_;
  Resolver& resolver_;
  ServiceNotifier* notifier_;
  const int64_t startWall_;
  WakeSignal loopWake_;  // declared first: the endpoints, records and control socket raise it
  ServerLink link_;
  ClientTable table_;
  ReplayBuffer replay_;
  std::unique_ptr<StreamLog> streamLog_;  // with --stream-log only
  Admission admission_;
  std::unique_ptr<ControlServer> control_;  // with --control only
  std::string serviceStatus_;               // the last state told to the service manager
};

}  // namespace veltor
