#include "net/ServerLink.h"

#include <algorithm>

#include "base/Clock.h"
#include "base/Constants.h"
#include "base/Ipv4.h"
#include "base/Output.h"
#include "base/ThreadCheck.h"
#include "platform/LocalTime.h"

namespace veltor {

ServerConnectAttempt::ServerConnectAttempt(const std::string& host, uint16_t port, Resolver& resolver)
    : port_(port), startedTick_(TickNow()) {
  // Dotted text first; anything else (the all-ones address too) is a name.
  const uint32_t dotted = ParseDottedAddress(host);
  if (dotted != kNoAddress) {
    StartHandshake(dotted);
    return;
  }
  resolving_ = true;
  lookup_ = StartHostAddressLookup(resolver, host);
}

bool ServerConnectAttempt::StartHandshake(uint32_t networkAddress) {
  socket_ = NetSocket::Create();
  if (socket_->StartConnect(networkAddress, port_)) return true;
  socket_.reset();
  return false;
}

TransferResult ServerConnectAttempt::Advance(int waitMs) {
  const uint32_t callStarted = TickNow();
  for (;;) {
    const uint32_t now = TickNow();
    const uint32_t sinceStart = now - startedTick_;
    if (sinceStart >= static_cast<uint32_t>(kConnectTimeoutMs)) return TransferResult::Failed;
    const int callLeft = std::max(0, waitMs - static_cast<int>(now - callStarted));
    const int budget = std::min(callLeft, kConnectTimeoutMs - static_cast<int>(sinceStart));

    if (resolving_) {
      if (!lookup_.Wait(budget)) return TransferResult::Idle;
      resolving_ = false;
      const uint32_t address = lookup_.Answer().address;
      if (address == kNoAddress || !StartHandshake(address)) return TransferResult::Failed;
      continue;  // the rest of this call's wait goes to the handshake
    }
    if (!socket_) return TransferResult::Failed;
    const TransferResult handshake = socket_->FinishConnect(budget);
    if (handshake != TransferResult::Idle) return handshake;
    if (static_cast<int>(TickNow() - callStarted) >= waitMs) return TransferResult::Idle;
    // Interrupted early: wait out the rest of the call.
  }
}

void EnsureServerSocket(ServerLink& link, const RelaySettings& settings, Resolver& resolver) {
  AssertMainThread();
  if (link.serverSocket) return;
  if (!link.connecting) {
    link.connecting = std::make_unique<ServerConnectAttempt>(settings.serverHost, settings.serverPort, resolver);
  }
  AdvanceServerConnect(link, settings, kEndpointStepWaitMs);
}

void AdvanceServerConnect(ServerLink& link, const RelaySettings& settings, int waitMs) {
  AssertMainThread();
  if (!link.connecting) return;
  switch (link.connecting->Advance(waitMs)) {
    case TransferResult::Idle:
      return;
    case TransferResult::Failed:
      link.connecting.reset();
      LogErr("%s: Unable to connect to server. Check address and port\n", TimestampNow().c_str());
      return;
    case TransferResult::Done: {
      auto stream = std::make_unique<ServerStream>(link.connecting->TakeSocket(), link.loopWake);
      link.connecting.reset();
      if (!stream->Start()) {
        LogErr("%s: Unable to connect to server. Check address and port\n", TimestampNow().c_str());
        return;
      }
      link.serverSocket = std::move(stream);
      LogOut("%s: server socket created to %s:%d\n", TimestampNow().c_str(), settings.serverHost.c_str(),
             static_cast<int>(settings.serverPort));
      return;
    }
  }
}

void CloseServerSocket(ServerLink& link) {
  AssertMainThread();
  if (!link.serverSocket) return;
  LogOut("%s: server socket disconnected\n", TimestampNow().c_str());
  link.serverSocket.reset();
}

}  // namespace veltor
