#include "relay/Relay.h"

#include "clients/RelayPasses.h"
#include "console/StatusReport.h"
#include "net/Listener.h"

namespace veltor {

Relay::Relay(const RelaySettings& settings, Resolver& resolver)
    : settings_(settings), resolver_(resolver), admission_(settings, resolver) {}

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
