#include "net/ServerLink.h"

#include <sys/socket.h>

#include "core/Constants.h"
#include "core/Output.h"
#include "core/Timestamp.h"

namespace veltor {

void EnsureServerSocket(ServerLink& link, const RelaySettings& settings) {
  if (link.serverSocket) return;
  std::unique_ptr<NetSocket> socket = NetSocket::Create(SOCK_STREAM);
  if (!socket->Connect(settings.serverHost, settings.serverPort, kConnectTimeoutMs)) {
    LogErr("%s: Unable to connect to server. Check address and port\n", TimestampNow().c_str());
    return;
  }
  socket->SetNonBlocking();
  link.serverSocket = std::move(socket);
  LogOut("%s: server socket created to %s:%d\n", TimestampNow().c_str(), settings.serverHost.c_str(),
         static_cast<int>(settings.serverPort));
}

void EnsureListenSocket(ServerLink& link, const RelaySettings& settings) {
  if (link.listenSocket) return;
  std::unique_ptr<NetSocket> socket = NetSocket::Create(SOCK_STREAM);
  socket->SetReuseAddress();
  if (!socket->Bind(settings.listenPort)) {
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

void CloseEndpoint(ServerLink& link, std::unique_ptr<NetSocket>& slot) {
  if (!slot) return;
  if (&slot == &link.serverSocket) {
    LogOut("%s: server socket disconnected\n", TimestampNow().c_str());
  } else if (&slot == &link.listenSocket) {
    LogOut("%s: listen socket disconnected\n", TimestampNow().c_str());
  }
  slot.reset();
}

}  // namespace veltor
