// Relay: the state of one run (the two endpoints, the client table, the
// admission in progress) and the loop's phases over it. The program runs one
// with the system's resolver; tests run one in-process with a resolver of
// their own.
#pragma once

#include "clients/Admission.h"
#include "clients/ClientTable.h"
#include "relay/RelayLoop.h"
#include "base/Settings.h"
#include "net/Resolver.h"
#include "net/ServerLink.h"

namespace veltor {

class Relay final : public LoopPhases {
 public:
  // Both endpoints start absent. `settings` and `resolver` outlive the relay.
  Relay(const RelaySettings& settings, Resolver& resolver);

  void Sweep() override;
  void OncePerSecond() override;
  void ServerPump() override;
  void ClientPass() override;
  void PrintStatus() override;
  bool Idle() override;
  WakeSignal* Wake() override { return &loopWake_; }

  // Releases every client, then closes the server and the listen socket, each
  // with its "disconnected" line when it was open.
  void ShutDown();

  const ClientTable& Table() const { return table_; }

 private:
  const RelaySettings& settings_;
  Resolver& resolver_;
  WakeSignal loopWake_;  // declared first: the endpoints and records raise it
  ServerLink link_;
  ClientTable table_;
  Admission admission_;
};

}  // namespace veltor
