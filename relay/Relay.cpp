#include "relay/Relay.h"

#include "base/Clock.h"
#include "clients/RelayPasses.h"
#include "console/StatusReport.h"
#include "net/Listener.h"

namespace veltor {

Relay::Relay(const RelaySettings& settings, Resolver& resolver)
    : settings_(settings), resolver_(resolver), admission_(settings, resolver) {
  link_.loopWake = &loopWake_;
  table_.SetLoopWake(&loopWake_);
}

bool Relay::Idle() {
  // A connect in progress and a server stream with data, a pending forward or
  // its end to close all need their passes.
  if (link_.connecting) return false;
  if (const ServerStream* server = link_.serverSocket.get()) {
    if (server->BufferedBytes() > 0 || server->Finished() || (server->Writable() && !server->CanForward())) {
      return false;
    }
  }
  return table_.NothingDue(WallNow());
}

void Relay::Sweep() { table_.Sweep(); }

void Relay::OncePerSecond() {
  EnsureServerSocket(link_, settings_, resolver_);
  EnsureListenSocket(link_, settings_);
  admission_.AcceptPendingClient(link_, table_);
}

void Relay::ServerPump() {
  // A connect the once-a-second block left running is looked at every pass.
  AdvanceServerConnect(link_, settings_, 0);
  veltor::ServerPump(link_, table_);
}

void Relay::ClientPass() { veltor::ClientPass(link_, table_); }

void Relay::PrintStatus() { veltor::PrintStatus(table_); }

void Relay::ShutDown() {
  table_.TearDown();
  CloseServerSocket(link_);
  CloseListenSocket(link_);
}

}  // namespace veltor
