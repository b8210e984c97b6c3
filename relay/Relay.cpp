#include "relay/Relay.h"

#include "base/Clock.h"
#include "base/Output.h"
#include "base/ThreadCheck.h"
#include "clients/RelayPasses.h"
#include "console/ServiceStatusText.h"
#include "console/StatusReport.h"
#include "net/Listener.h"
#include "platform/LocalTime.h"
#include "relay/ControlAnswers.h"

namespace veltor {

Relay::Relay(const RelaySettings& settings, const RelayOptions& options, Resolver& resolver,
             ServiceNotifier* notifier)
    : settings_(settings),
      options_(options),
      resolver_(resolver),
      notifier_(notifier),
      startWall_(WallNow()),
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
  if (!options.controlPath.empty()) {
    control_ = std::make_unique<ControlServer>(&loopWake_);
    std::string error;
    if (!control_->Start(options.controlPath, error)) {
      // The relay's work goes on without it; the operator learns why here.
      LogErr("%s: control socket %s\n", TimestampNow().c_str(), error.c_str());
      control_.reset();
    }
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

void Relay::ClientPass() { veltor::ClientPass(link_, table_); }

void Relay::PrintStatus() { veltor::PrintStatus(table_); }

void Relay::ReopenFiles() {
  if (streamLog_) streamLog_->RequestReopen();
}

void Relay::Tend(uint32_t tick) {
  AssertMainThread();
  if (control_) control_->AnswerPending([this](const std::string& request) { return AnswerControlRequest(*this, request); });
  if (notifier_ != nullptr && notifier_->Enabled()) {
    TellServiceManager();
    notifier_->Tick(tick);
  }
}

uint32_t Relay::LongestWaitMs(uint32_t tick) {
  return notifier_ != nullptr && notifier_->Enabled() ? notifier_->MsUntilNextTick(tick) : UINT32_MAX;
}

void Relay::TellServiceManager() {
  // Asked every turn, so only the three figures it shows are looked at first.
  std::string state = link_.serverSocket ? "c" : "-";
  state += link_.listenSocket ? "l" : "-";
  state += std::to_string(table_.Count());
  if (state == serviceStatus_) return;
  serviceStatus_ = state;
  notifier_->Status(ServiceStatusText(Facts()));
}

void Relay::ShutDown() {
  table_.TearDown();
  CloseServerSocket(link_);
  CloseListenSocket(link_);
}

RelayFacts Relay::Facts() const {
  RelayFacts facts;
  facts.serverHost = settings_.serverHost;
  facts.serverPort = settings_.serverPort;
  facts.serverConnected = link_.serverSocket != nullptr;
  facts.listenAddress = options_.listenAddress.value_or(kAnyAddress);
  facts.listenPort = settings_.listenPort;
  facts.listening = link_.listenSocket != nullptr;
  facts.clientCount = table_.Count();
  facts.maxClients = settings_.maxClients;
  facts.secondsSinceStart = WallNow() - startWall_;
  return facts;
}

std::vector<ClientFacts> Relay::ClientsFacts() const {
  std::vector<ClientFacts> clients;
  const int64_t now = WallNow();
  int number = 0;
  for (const auto& record : table_.All()) {
    ClientFacts client;
    client.number = ++number;
    client.address = record->address;
    client.name = record->hostName;
    client.bytes = record->bytesSent.load();
    client.seconds = now - record->startTime.load();
    client.queued = record->queuedBytes.load();
    // As the status table marks "(inactive)".
    client.active = record->active.load() && record->holdsSocket.load();
    client.passRx = record->passRx;
    client.timeLimit = record->timeLimit;
    clients.push_back(std::move(client));
  }
  return clients;
}

RelayCounters Relay::Counters() const {
  RelayCounters counters;
  counters.bytesDelivered = table_.DeliveredBytes();
  for (const auto& record : table_.All()) {
    counters.bytesQueued += record->queuedBytes.load();
    counters.backlogMemoryBytes += record->BacklogMemoryBytes();
  }
  const auto& verdicts = admission_.VerdictCounts();
  counters.admissions.accepted = verdicts[static_cast<size_t>(VerdictKind::kAccepted)];
  counters.admissions.maxConns = verdicts[static_cast<size_t>(VerdictKind::kMaxConns)];
  counters.admissions.rule = verdicts[static_cast<size_t>(VerdictKind::kRule)];
  counters.admissions.noRule = verdicts[static_cast<size_t>(VerdictKind::kNoRule)];
  counters.admissions.dupe = verdicts[static_cast<size_t>(VerdictKind::kDupe)];
  counters.admissions.dupeTimingOut = verdicts[static_cast<size_t>(VerdictKind::kDupeTimingOut)];
  counters.logLinesDropped = DroppedLogMessages();
  return counters;
}

bool Relay::CutClient(int64_t number) {
  const auto& records = table_.All();
  if (number < 1 || number > static_cast<int64_t>(records.size())) return false;
  records[static_cast<size_t>(number - 1)]->Disconnect();
  return true;
}

}  // namespace veltor
