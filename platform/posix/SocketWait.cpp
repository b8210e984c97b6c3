#include "platform/SocketWait.h"

#include <poll.h>

#include <cerrno>

namespace veltor {

WaitOutcome WaitForSocket(SocketHandle socket, Readiness readiness, int waitMs, WakeSignal* wake) {
  const bool wakeable = wake != nullptr && wake->NativeHandle() != kNoSocket;
  const short wanted = readiness == Readiness::Read ? POLLIN : POLLOUT;
  pollfd entries[2] = {{socket, wanted, 0}, {wakeable ? wake->NativeHandle() : -1, POLLIN, 0}};
  // poll(), not select(): select() cannot take descriptors of 1024 and up,
  // which a relay with many clients reaches.
  const int ready = ::poll(entries, wakeable ? 2 : 1, waitMs);
  if (ready == 0 || (ready < 0 && errno == EINTR)) return WaitOutcome::TimedOut;  // a signal counts as a time-out
  if (ready < 0) return WaitOutcome::Failed;
  if (wakeable && (entries[1].revents & POLLIN) != 0) {
    wake->Drain();
    return WaitOutcome::Woken;
  }
  const short events = entries[0].revents;
  if ((events & POLLNVAL) != 0) return WaitOutcome::Failed;
  // The end of a stream (POLLHUP) is read like data; an error with nothing to
  // read or write is the socket's end.
  if ((events & (wanted | POLLHUP)) != 0) return WaitOutcome::Ready;
  if ((events & POLLERR) != 0) return WaitOutcome::Failed;
  return WaitOutcome::TimedOut;
}

}  // namespace veltor
