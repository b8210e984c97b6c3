// WakeSignal: a level-triggered wake-up that one thread raises and another
// waits on, alone or next to a socket (SocketWait). A client's worker waits on
// it so that queued data, a stop request or a cut-off reach it at once instead
// of after its idle wait.
#pragma once

#include "platform/Socket.h"

namespace veltor {

class WakeSignal {
 public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  // Raises the signal; any thread. Cheap when already raised.
  void Raise();
  // Lowers it again; the waiting thread only.
  void Drain();
  // Waits until the signal is raised or `waitMs` pass. True when raised.
  bool Wait(int waitMs);
  // What SocketWait waits on; invalid when it could not be made (waits then
  // simply run to their time-outs).
  SocketHandle NativeHandle() const { return handle_; }

 private:
  SocketHandle handle_;
};

}  // namespace veltor
