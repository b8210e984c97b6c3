#include "net/NetSocket.h"

namespace veltor {

std::unique_ptr<NetSocket> NetSocket::Create() { return std::make_unique<NetSocket>(OpenStreamSocket()); }

NetSocket::~NetSocket() {
  if (Valid()) CloseSocket(handle_);
}

bool NetSocket::StartConnect(uint32_t networkAddress, uint16_t port) {
  return Valid() && veltor::SetNonBlocking(handle_) &&
         veltor::StartConnect(handle_, networkAddress, port).kind != IoOutcome::Kind::Failed;
}

TransferResult NetSocket::FinishConnect(int waitMs) {
  return Valid() ? ResultOf(AwaitConnect(handle_, waitMs).kind) : TransferResult::Failed;
}

bool NetSocket::Bind(uint32_t address, uint16_t port) { return Valid() && BindLocalAddress(handle_, address, port); }

bool NetSocket::SetReuseAddress() { return Valid() && AllowPortReuse(handle_); }

bool NetSocket::Listen(int backlog) { return Valid() && StartListening(handle_, backlog); }

std::unique_ptr<NetSocket> NetSocket::Accept() {
  if (!Valid()) return nullptr;
  SocketHandle accepted = kNoSocket;
  if (AcceptConnection(handle_, accepted).kind != IoOutcome::Kind::Done) return nullptr;
  return std::make_unique<NetSocket>(accepted);
}

bool NetSocket::SetNonBlocking() { return Valid() && veltor::SetNonBlocking(handle_); }

bool PeerAddress(const NetSocket& socket, uint32_t& address) {
  return socket.Valid() && ReadPeerAddress(socket.Handle(), address);
}

}  // namespace veltor
