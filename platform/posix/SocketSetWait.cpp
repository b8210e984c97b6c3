#include "platform/SocketSetWait.h"

#include <poll.h>

#include <cerrno>

namespace veltor {

WaitOutcome WaitForSockets(std::vector<SocketInterest>& sockets, int waitMs, WakeSignal* wake) {
  const bool wakeable = wake != nullptr && wake->NativeHandle() != kNoSocket;
  std::vector<pollfd> entries;
  entries.reserve(sockets.size() + 1);
  for (SocketInterest& interest : sockets) {
    interest.ready = false;
    entries.push_back(
        {interest.socket, static_cast<short>(interest.readiness == Readiness::Read ? POLLIN : POLLOUT), 0});
  }
  if (wakeable) entries.push_back({wake->NativeHandle(), POLLIN, 0});
  const int ready = ::poll(entries.data(), entries.size(), waitMs);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return WaitOutcome::TimedOut;
  if (ready < 0) return WaitOutcome::Failed;
  if (wakeable && (entries.back().revents & POLLIN) != 0) {
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
