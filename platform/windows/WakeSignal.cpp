#include "platform/WakeSignal.h"

#include <thread>

#include "platform/SystemSockets.h"

namespace veltor {

namespace {

// A UDP socket on loopback connected to itself: one datagram raises it, and
// unlike an event object it can sit in the same select as a client's socket.
SocketHandle OpenSelfConnectedSocket() {
  if (!EnsureSocketsStarted()) return kNoSocket;
  const SOCKET udp = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (udp == INVALID_SOCKET) return kNoSocket;
  sockaddr_in self = Ipv4Address(htonl(INADDR_LOOPBACK), 0);
  int length = sizeof self;
  u_long on = 1;
  if (bind(udp, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
      getsockname(udp, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
      connect(udp, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0 ||
      ioctlsocket(udp, FIONBIO, &on) != 0) {
    closesocket(udp);
    return kNoSocket;
  }
  return static_cast<SocketHandle>(udp);
}

}  // namespace

WakeSignal::WakeSignal() : handle_(OpenSelfConnectedSocket()) {}

WakeSignal::~WakeSignal() {
  if (handle_ != kNoSocket) closesocket(Native(handle_));
}

void WakeSignal::Raise() {
  if (handle_ == kNoSocket) return;
  // A full receive queue means it is raised many times over already.
  const char one = 1;
  send(Native(handle_), &one, 1, 0);
}

void WakeSignal::Drain() {
  if (handle_ == kNoSocket) return;
  char datagrams[64];
  while (recv(Native(handle_), datagrams, sizeof datagrams, 0) > 0) {
  }
}

bool WakeSignal::Wait(int waitMs) {
  if (handle_ == kNoSocket) {
    std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    return false;
  }
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Native(handle_), &readable);
  timeval wait{waitMs / 1000, (waitMs % 1000) * 1000};
  return select(0, &readable, nullptr, nullptr, &wait) > 0;
}

}  // namespace veltor
