// The socket calls both systems make alike; each system's own are in its
// folder's Socket.cpp.
#include "platform/Socket.h"

#include "platform/SystemSockets.h"

namespace veltor {

sockaddr_in Ipv4Address(uint32_t networkAddress, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = networkAddress;
  return address;
}

IoOutcome SortFailedCall(int error) {
  return {IsRetryableError(error) ? IoOutcome::Kind::WouldBlock : IoOutcome::Kind::Failed, 0, error};
}

IoOutcome SortSendResult(long long result, int error) {
  if (result > 0) return {IoOutcome::Kind::Done, static_cast<size_t>(result), 0};
  if (result == 0) return {IoOutcome::Kind::Failed, 0, 0};
  return SortFailedCall(error);
}

IoOutcome SortReceiveResult(long long result, int error) {
  if (result > 0) return {IoOutcome::Kind::Done, static_cast<size_t>(result), 0};
  if (result == 0) return {IoOutcome::Kind::Closed, 0, 0};
  return SortFailedCall(error);
}

IoOutcome ConnectOutcome(SocketHandle socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(Native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    return {IoOutcome::Kind::Failed, 0, LastSocketError()};
  }
  if (error != 0) return {IoOutcome::Kind::Failed, 0, error};
  return {IoOutcome::Kind::Done, 0, 0};
}

bool BindLocalAddress(SocketHandle socket, uint32_t address, uint16_t port) {
  const sockaddr_in local = Ipv4Address(htonl(address), port);
  return ::bind(Native(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool StartListening(SocketHandle socket, int backlog) { return ::listen(Native(socket), backlog) == 0; }

bool ReadPeerAddress(SocketHandle socket, uint32_t& address) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(Native(socket), reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET) {
    return false;
  }
  address = ntohl(peer.sin_addr.s_addr);
  return true;
}

uint32_t ParseDottedAddress(const std::string& text) {
  in_addr dotted{};
  if (::inet_pton(AF_INET, text.c_str(), &dotted) != 1) return INADDR_NONE;
  return dotted.s_addr;
}

}  // namespace veltor
