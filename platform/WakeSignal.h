// WakeSignal: a level-triggered wake-up that one thread raises and another waits
// on next to its socket (an eventfd). A client's worker waits on it so that
// queued data, a stop request or a cut-off reach it at once instead of after
// its idle wait.
#pragma once

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
  // The descriptor to poll for reading; -1 when it could not be created (the
  // waits then simply run to their time-outs).
  int Handle() const { return handle_; }

 private:
  int handle_;
};

}  // namespace veltor
