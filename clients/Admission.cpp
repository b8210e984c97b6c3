#include "clients/Admission.h"

#include "clients/GreetingFrame.h"
#include "base/Constants.h"
#include "base/EventText.h"
#include "base/Ipv4.h"
#include "base/Output.h"
#include "base/ThreadCheck.h"
#include "platform/Process.h"
#include "platform/LocalTime.h"

namespace veltor {

Verdict Judge(const RelaySettings& settings, uint32_t address, int clientCount, const ClientConnection* existing) {
  Verdict verdict;
  if (clientCount >= settings.maxClients) {
    verdict.kind = VerdictKind::kMaxConns;
    verdict.text = "denied: max conns\n";
    return verdict;
  }
  for (const MaskRule& rule : settings.rules) {
    if (!RuleMatches(rule, address)) continue;
    if (!rule.allow) {
      verdict.kind = VerdictKind::kRule;
      verdict.text = "denied: rule\n";
    } else if (existing != nullptr && !rule.dupeOK) {
      verdict.kind = existing->timedOut ? VerdictKind::kDupeTimingOut : VerdictKind::kDupe;
      verdict.text = existing->timedOut ? "denied: dupe (timing out)\n" : "denied: dupe\n";
    } else {
      verdict.kind = VerdictKind::kAccepted;
      verdict.admitted = true;
      verdict.rule = &rule;
      verdict.text = rule.passRx ? "accepted:   PassRx  " : "accepted: NoPassRx  ";
      verdict.text += std::to_string(rule.timeLimit) + "\n";
    }
    return verdict;
  }
  verdict.text = "denied: no rule\n";
  return verdict;
}

namespace {

std::vector<ClientConnection::Frame> BuildGreeting(const RelaySettings& settings) {
  std::vector<ClientConnection::Frame> frames;
  frames.reserve(settings.modTexts.size());
  for (const std::string& text : settings.modTexts) frames.push_back(BuildTextFrame(text));
  return frames;
}

}  // namespace

struct Admission::Candidate {
  std::unique_ptr<NetSocket> socket;
  uint32_t address = 0;  // host order
  PendingLookup name;
};

Admission::Admission(const RelaySettings& settings, Resolver& resolver, const ReplayBuffer* replay)
    : settings_(settings), resolver_(resolver), replay_(replay) {}

// A connection still waiting for its name is closed quietly, as if never taken.
Admission::~Admission() = default;

void Admission::AcceptPendingClient(ServerLink& link, ClientTable& table) {
  AssertMainThread();
  // One verdict per block: a connection that waited for its name is judged
  // now, with or without it (a name server that has not answered in a second
  // has been waited for long enough), and the next one waits for the next block.
  const bool judged = waiting_ != nullptr;
  if (waiting_) {
    std::unique_ptr<Candidate> candidate = std::move(waiting_);
    Decide(*candidate, table);
  }
  if (!link.listenSocket) return;
  switch (WaitForPendingConnection(*link.listenSocket, kAcceptWaitMs)) {
    case TransferResult::Idle:
      return;
    case TransferResult::Failed:
      LogOut("%s: listen socket dead\n", TimestampNow().c_str());
      link.listenSocket.reset();  // reopened by the next once-a-second block
      return;
    case TransferResult::Done:
      break;
  }
  // Short of descriptors, the connection waits in the backlog until some free up.
  if (!HasFreeDescriptors(kDescriptorReserve)) return;

  auto candidate = std::make_unique<Candidate>();
  candidate->socket = link.listenSocket->Accept();  // already non-blocking
  if (!candidate->socket) return;
  if (!PeerAddress(*candidate->socket, candidate->address)) return;  // nothing to judge: closed quietly
  candidate->name = StartPeerNameLookup(resolver_, candidate->address);
  if (judged || !candidate->name.Wait(kEndpointStepWaitMs)) {
    waiting_ = std::move(candidate);
    return;
  }
  Decide(*candidate, table);
}

void Admission::Decide(Candidate& candidate, ClientTable& table) {
  const uint32_t address = candidate.address;
  const std::string hostName = candidate.name.Answer().name;
  LogOut("%s: %s", TimestampNow().c_str(), ConnText(address, hostName).c_str());
  const Verdict verdict = Judge(settings_, address, table.Count(), table.FindByAddress(address));
  LogOut("%s", verdict.text.c_str());
  ++verdictCounts_[static_cast<size_t>(verdict.kind)];
  if (!verdict.admitted) return;  // the denied connection closes with its socket

  auto record = std::make_unique<ClientConnection>(address, verdict.rule->passRx, verdict.rule->timeLimit,
                                                   std::move(candidate.socket), BuildGreeting(settings_),
                                                   table.LoopWake(), &table.Budget());
  record->hostName = hostName;
  if (!record->Start()) {
    LogErr("%s: Unable to start a worker for client %s; connection closed\n", TimestampNow().c_str(),
           DottedAddress(address).c_str());
    return;
  }
  // The history goes in before any live data can: this pass's broadcast comes after.
  if (replay_ != nullptr) {
    const ReplayBuffer::Spans history = replay_->View();
    for (const std::span<const uint8_t> part : {history.first, history.second}) {
      if (!part.empty()) record->QueueData(part.data(), part.size());
    }
  }
  table.Add(std::move(record));
}

}  // namespace veltor
