// Relay: the state of one run (the two endpoints, the client table, the
// admission in progress) and the loop's phases over it. The program runs one
// with the system's resolver; tests run one in-process with a resolver of
// their own.
#pragma once

#include "clients/Admission.h"
#include "clients/ClientTable.h"
#include "relay/RelayLoop.h"
#include "base/Options.h"
#include "base/Settings.h"
#include "clients/ReplayBuffer.h"
#include "clients/StreamLog.h"
#include "net/Resolver.h"
#include "net/ServerLink.h"

namespace veltor {

class Relay final : public LoopPhases {
 public:
  // Both endpoints start absent. `settings`, `options` and `resolver` outlive
  // the relay. The stream log, when asked for, starts writing at once.
  Relay(const RelaySettings& settings, const RelayOptions& options, Resolver& resolver);

  void Sweep() override;
  void OncePerSecond() override;
  void ServerPump() override;
  void ClientPass() override;
  void PrintStatus() override;
  void ReopenFiles() override;
  bool Idle() override;
  WakeSignal* Wake() override { return &loopWake_; }

  // Releases every client, then closes the server and the listen socket, each
  // with its "disconnected" line when it was open.
  void ShutDown();

  const ClientTable& Table() const { return table_; }

 private:
  // What the relay keeps of the server's stream besides handing it on.
  void KeepStream(const DataChunk& chunk);

  const RelaySettings& settings_;
  const RelayOptions& options_;
  Resolver& resolver_;
  WakeSignal loopWake_;  // declared first: the endpoints and records raise it
  ServerLink link_;
  ClientTable table_;
  ReplayBuffer replay_;
  std::unique_ptr<StreamLog> streamLog_;  // with --stream-log only
  Admission admission_;
};

}  // namespace veltor
