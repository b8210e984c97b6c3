#include "relay/Relay.h"

#include "base/Clock.h"
#include "clients/RelayPasses.h"
#include "console/StatusReport.h"
#include "net/Listener.h"

namespace veltor {

Relay::Relay(const RelaySettings& settings, const RelayOptions& options, Resolver& resolver)
    : settings_(settings),
      options_(options),
      resolver_(resolver),
      table_(options.maxBacklogBytes, options.maxTotalBacklogBytes),
      replay_(static_cast<size_t>(options.replayBytes)),
      admission_(settings, resolver, options.replayBytes > 0 ? &replay_ : nullptr) {
  link_.loopWake = &loopWake_;
  table_.SetLoopWake(&loopWake_);
  if (!options.streamLogPath.empty()) {
    streamLog_ = std::make_unique<StreamLog>(options.streamLogPath, options.streamLogRotateBytes,
                                             options.streamLogKeep);
    if (!streamLog_->Start()) streamLog_.reset();  // it said why; the relay relays all the same
  }
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
  EnsureListenSocket(link_, settings_, options_.listenAddress.value_or(kAnyAddress));
  admission_.AcceptPendingClient(link_, table_);
}

void Relay::ServerPump() {
  // A connect the once-a-second block left running is looked at every pass.
  AdvanceServerConnect(link_, settings_, 0);
  if (const std::unique_ptr<DataChunk> chunk = veltor::ServerPump(link_, table_)) KeepStream(*chunk);
}

void Relay::KeepStream(const DataChunk& chunk) {
  replay_.Append(chunk.bytes.data(), chunk.Length());
  if (streamLog_) streamLog_->Append(chunk.bytes.data(), chunk.Length());
}

void Relay::ReopenFiles() {
  if (streamLog_) streamLog_->RequestReopen();
}

void Relay::ClientPass() { veltor::ClientPass(link_, table_); }

void Relay::PrintStatus() { veltor::PrintStatus(table_); }

void Relay::ShutDown() {
  table_.TearDown();
  CloseServerSocket(link_);
  CloseListenSocket(link_);
}

}  // namespace veltor
