// The relay loop's heartbeat: the keyboard, the 10 ms pass gate and the
// once-a-second block, calling the phases in their fixed order. The loop knows
// nothing of sockets or clients; the program wires the phases in.
#pragma once

#include <cstdint>

#include "platform/WakeSignal.h"

namespace veltor {

// The work done at fixed places of the loop.
class LoopPhases {
 public:
  virtual ~LoopPhases() = default;
  virtual void Sweep() = 0;
  // Endpoint upkeep and admission, at most once every kRetryIntervalMs.
  virtual void OncePerSecond() = 0;
  virtual void ServerPump() = 0;
  virtual void ClientPass() = 0;
  virtual void PrintStatus() = 0;
  // Files the relay writes are to be closed and opened again (log rotation).
  virtual void ReopenFiles() {}
  // True when no pass would do anything before the next once-a-second block
  // unless Wake() is raised first; the loop then waits instead of passing.
  virtual bool Idle() { return false; }
  // Raised by the threads that bring the loop work; nullptr when there is none.
  virtual WakeSignal* Wake() { return nullptr; }
  // Every turn of the loop, passing or not, after the wake signal is lowered:
  // work that must keep its own pace (the service manager's heartbeat,
  // requests on the control socket).
  virtual void Tend(uint32_t /*tick*/) {}
  // The longest the loop may wait before Tend must run again.
  virtual uint32_t LongestWaitMs(uint32_t /*tick*/) { return UINT32_MAX; }
};

// Where keys and operator requests come from.
class KeySource {
 public:
  virtual ~KeySource() = default;
  // The next key's code (0..255) without waiting, or kNoKey.
  virtual int PollKey() = 0;
  // Waits up to `waitMs` for a key or for `wake` (when given; a signal may end
  // it early too). False, at once, when this source cannot wait for keys; the
  // loop then waits on `wake` alone or sleeps.
  virtual bool WaitForKey(int waitMs, WakeSignal* wake) = 0;
  static constexpr int kNoKey = -1;
};

// Requests that arrive outside the keyboard (signals).
struct LoopRequests {
  virtual ~LoopRequests() = default;
  virtual bool ShutdownRequested() = 0;
  // True once per request; cleared by reading.
  virtual bool TakeStatusRequest() = 0;
  virtual bool TakeReopenRequest() { return false; }
};

class RelayLoop {
 public:
  // Time comes from CurrentClock(), as everywhere else.
  RelayLoop(LoopPhases& phases, KeySource& keys, LoopRequests* requests = nullptr);

  // Arms the gates so that the first pass and its once-a-second block run at once.
  void Start();
  // One iteration of the loop. Returns false when the loop is to end (ESC or a
  // shutdown request).
  bool Step();

 private:
  LoopPhases& phases_;
  KeySource& keys_;
  LoopRequests* requests_;
  uint32_t lastPassTick_ = 0;
  uint32_t lastSecondTick_ = 0;
};

}  // namespace veltor
