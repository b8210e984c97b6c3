#include "platform/SocketSetWait.h"

#include "platform/windows/Winsock.h"

namespace veltor {

WaitOutcome WaitForSockets(std::vector<SocketInterest>& sockets, int waitMs, WakeSignal* wake) {
  // select, as WaitForSocket uses: a few sockets are far below FD_SETSIZE.
  const bool wakeable = wake != nullptr && wake->NativeHandle() != kNoSocket;
  fd_set readable;
  fd_set writable;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  if (wakeable) FD_SET(Native(wake->NativeHandle()), &readable);
  for (SocketInterest& interest : sockets) {
    interest.ready = false;
    FD_SET(Native(interest.socket), interest.readiness == Readiness::Read ? &readable : &writable);
  }
  timeval wait{waitMs / 1000, (waitMs % 1000) * 1000};
  // select on Windows fails on three empty sets instead of sleeping.
  if (readable.fd_count == 0 && writable.fd_count == 0) {
    Sleep(static_cast<DWORD>(waitMs));
    return WaitOutcome::TimedOut;
  }
  const int count = select(0, &readable, &writable, nullptr, &wait);
  if (count == 0) return WaitOutcome::TimedOut;
  if (count == SOCKET_ERROR) return WSAGetLastError() == WSAEINTR ? WaitOutcome::TimedOut : WaitOutcome::Failed;
  if (wakeable && FD_ISSET(Native(wake->NativeHandle()), &readable)) {
    wake->Drain();
    return WaitOutcome::Woken;
  }
  for (SocketInterest& interest : sockets) {
    interest.ready =
        FD_ISSET(Native(interest.socket), interest.readiness == Readiness::Read ? &readable : &writable) != 0;
  }
  return WaitOutcome::Ready;
}

}  // namespace veltor
