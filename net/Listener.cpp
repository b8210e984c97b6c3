#include "net/Listener.h"

#include "base/Constants.h"
#include "base/Output.h"
#include "base/ThreadCheck.h"
#include "platform/LocalTime.h"
#include "platform/SocketWait.h"

namespace veltor {

void EnsureListenSocket(ServerLink& link, const RelaySettings& settings, uint32_t address) {
  AssertMainThread();
  if (link.listenSocket) return;
  std::unique_ptr<NetSocket> socket = NetSocket::Create();
  socket->SetReuseAddress();
  if (!socket->Bind(address, settings.listenPort)) {
    LogErr("%s: Unable to create listening socket. Port might be in use\n", TimestampNow().c_str());
    return;
  }
  socket->SetNonBlocking();
  if (!socket->Listen(kListenBacklog)) {
    LogErr("%s: Unable to create listening socket. 'listen' failed\n", TimestampNow().c_str());
    return;
  }
  link.listenSocket = std::move(socket);
  LogOut("%s: listen socket created on port %d\n", TimestampNow().c_str(), static_cast<int>(settings.listenPort));
}

void CloseListenSocket(ServerLink& link) {
  AssertMainThread();
  if (!link.listenSocket) return;
  LogOut("%s: listen socket disconnected\n", TimestampNow().c_str());
  link.listenSocket.reset();
}

TransferResult WaitForPendingConnection(const NetSocket& listenSocket, int waitMs) {
  switch (WaitForSocket(listenSocket.Handle(), Readiness::Read, waitMs)) {
    case WaitOutcome::Ready:
      return TransferResult::Done;
    case WaitOutcome::Failed:
      return TransferResult::Failed;
    case WaitOutcome::Woken:
    case WaitOutcome::TimedOut:
      break;
  }
  return TransferResult::Idle;
}

}  // namespace veltor
