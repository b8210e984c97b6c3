#include "platform/SocketWait.h"

#include "platform/windows/Winsock.h"

namespace veltor {

WaitOutcome WaitForSocket(SocketHandle socket, Readiness readiness, int waitMs, WakeSignal* wake) {
  // select on Windows takes sockets by handle, with no limit on their values,
  // so it serves a relay with many clients as poll does on Linux.
  const bool wakeable = wake != nullptr && wake->NativeHandle() != kNoSocket;
  fd_set wanted;
  fd_set readable;
  FD_ZERO(&wanted);
  FD_ZERO(&readable);
  FD_SET(Native(socket), &wanted);
  if (wakeable) FD_SET(Native(wake->NativeHandle()), &readable);
  fd_set* readSet = readiness == Readiness::Read ? &wanted : &readable;
  fd_set* writeSet = readiness == Readiness::Write ? &wanted : nullptr;
  if (readiness == Readiness::Read && wakeable) FD_SET(Native(wake->NativeHandle()), &wanted);
  timeval wait{waitMs / 1000, (waitMs % 1000) * 1000};
  const int ready = select(0, readSet, writeSet, nullptr, &wait);
  if (ready == 0) return WaitOutcome::TimedOut;
  if (ready == SOCKET_ERROR) return WSAGetLastError() == WSAEINTR ? WaitOutcome::TimedOut : WaitOutcome::Failed;
  if (wakeable && FD_ISSET(Native(wake->NativeHandle()), readSet)) {
    wake->Drain();
    return WaitOutcome::Woken;
  }
  // Readable covers data, the end of the stream and a reset (the next receive
  // tells which); writable covers a send that fails at once.
  if (FD_ISSET(Native(socket), &wanted)) return WaitOutcome::Ready;
  return WaitOutcome::TimedOut;
}

}  // namespace veltor
