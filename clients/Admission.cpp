#include "clients/Admission.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "clients/GreetingFrame.h"
#include "core/Constants.h"
#include "core/Ipv4.h"
#include "core/Output.h"
#include "core/Timestamp.h"

namespace veltor {

Verdict Judge(const RelaySettings& settings, uint32_t address, int clientCount, const ClientConnection* existing) {
  Verdict verdict;
  if (clientCount >= settings.maxClients) {
    verdict.text = "denied: max conns\n";
    return verdict;
  }
  for (const MaskRule& rule : settings.rules) {
    if (!RuleMatches(rule, address)) continue;
    if (!rule.allow) {
      verdict.text = "denied: rule\n";
    } else if (existing != nullptr && !rule.dupeOK) {
      verdict.text = existing->timedOut ? "denied: dupe (timing out)\n" : "denied: dupe\n";
    } else {
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

enum class ListenState { Pending, Nothing, Dead };

ListenState WaitForPendingConnection(const NetSocket& listenSocket) {
  pollfd entry{listenSocket.Handle(), POLLIN, 0};
  const int ready = ::poll(&entry, 1, kAcceptWaitMs);
  if (ready < 0) return errno == EINTR ? ListenState::Nothing : ListenState::Dead;
  if (ready == 0) return ListenState::Nothing;
  if ((entry.revents & (POLLNVAL | POLLERR)) != 0) return ListenState::Dead;
  return ListenState::Pending;
}

std::vector<ClientConnection::Frame> BuildGreeting(const RelaySettings& settings) {
  std::vector<ClientConnection::Frame> frames;
  frames.reserve(settings.modTexts.size());
  for (const std::string& text : settings.modTexts) frames.push_back(BuildTextFrame(text));
  return frames;
}

}  // namespace

void AcceptPendingClient(ServerLink& link, ClientTable& table, const RelaySettings& settings) {
  if (!link.listenSocket) return;
  switch (WaitForPendingConnection(*link.listenSocket)) {
    case ListenState::Nothing:
      return;
    case ListenState::Dead:
      LogOut("%s: listen socket dead\n", TimestampNow().c_str());
      link.listenSocket.reset();  // reopened by the next once-a-second block
      return;
    case ListenState::Pending:
      break;
  }

  std::unique_ptr<NetSocket> client = link.listenSocket->Accept();  // already non-blocking
  if (!client) return;

  sockaddr_in peer{};
  socklen_t peerLength = sizeof peer;
  if (::getpeername(client->Handle(), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
      peer.sin_family != AF_INET) {
    return;  // no address to judge: the connection closes quietly
  }
  uint32_t networkAddress = 0;
  char hostName[kPeerNameBytes] = "";
  GetPeerInfo(peer, nullptr, &networkAddress, nullptr, 0, hostName, sizeof hostName);
  const uint32_t address = ntohl(networkAddress);

  LogOut("%s: Conn: %d.%d.%d.%d (%s)... ", TimestampNow().c_str(), Octet(address, 0), Octet(address, 1),
         Octet(address, 2), Octet(address, 3), hostName);
  const Verdict verdict = Judge(settings, address, table.Count(), table.FindByAddress(address));
  LogOut("%s", verdict.text.c_str());
  if (!verdict.admitted) {
    CloseEndpoint(link, client);
    return;
  }

  auto record = std::make_unique<ClientConnection>(address, verdict.rule->passRx, verdict.rule->timeLimit,
                                                   std::move(client), BuildGreeting(settings));
  if (!record->Start()) {
    LogErr("%s: Unable to start a worker for client %d.%d.%d.%d; connection closed\n", TimestampNow().c_str(),
           Octet(address, 0), Octet(address, 1), Octet(address, 2), Octet(address, 3));
    return;
  }
  table.Add(std::move(record));
}

}  // namespace veltor
