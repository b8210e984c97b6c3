#include "platform/SocketSetWait.h"

#include "platform/windows/Winsock.h"

namespace veltor {

WaitOutcome WaitForSockets(std::vector<SocketInterest>& sockets, int waitMs, WakeSignal* wake) {
  const bool wakeable = wake != nullptr && wake->NativeHandle() != kNoSocket;
  std::vector<WSAPOLLFD> entries;
  entries.reserve(sockets.size() + 1);
  for (SocketInterest& interest : sockets) {
    interest.ready = false;
    entries.push_back({Native(interest.socket),
                       static_cast<SHORT>(interest.readiness == Readiness::Read ? POLLRDNORM : POLLWRNORM), 0});
  }
  if (wakeable) entries.push_back({Native(wake->NativeHandle()), POLLRDNORM, 0});
  const int ready = WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), waitMs);
  if (ready == 0) return WaitOutcome::TimedOut;
  if (ready == SOCKET_ERROR) return WSAGetLastError() == WSAEINTR ? WaitOutcome::TimedOut : WaitOutcome::Failed;
  if (wakeable && (entries.back().revents & POLLRDNORM) != 0) {
    wake->Drain();
    return WaitOutcome::Woken;
  }
  bool any = false;
  for (size_t i = 0; i < sockets.size(); ++i) {
    sockets[i].ready = entries[i].revents != 0;
    any = any || sockets[i].ready;
  }
  return any ? WaitOutcome::Ready : WaitOutcome::TimedOut;
}

}  // namespace veltor
