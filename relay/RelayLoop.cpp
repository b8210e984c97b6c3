#include "relay/RelayLoop.h"

#include <algorithm>

#include "base/Clock.h"
#include "base/Constants.h"

namespace veltor {

RelayLoop::RelayLoop(LoopPhases& phases, KeySource& keys, LoopRequests* requests)
    : phases_(phases), keys_(keys), requests_(requests) {}

void RelayLoop::Start() {
  const uint32_t now = TickNow();
  lastPassTick_ = now - kPassIntervalMs;
  lastSecondTick_ = now - kRetryIntervalMs;
}

bool RelayLoop::Step() {
  if (requests_ != nullptr) {
    if (requests_->ShutdownRequested()) return false;
    if (requests_->TakeStatusRequest()) phases_.PrintStatus();
    if (requests_->TakeReopenRequest()) phases_.ReopenFiles();
  }

  const int key = keys_.PollKey();
  if (key != KeySource::kNoKey) {
    const int code = key & 0xFF;
    if (code == kKeyEsc) return false;
    if (code == 'S' || code == 's') phases_.PrintStatus();
  }

  // Ticks wrap after about 49 days; unsigned 32-bit differences keep both
  // gates firing across the wrap.
  const uint32_t tick = TickNow();
  const uint32_t sincePass = tick - lastPassTick_;
  const uint32_t sinceSecond = tick - lastSecondTick_;
  // The wake signal is lowered before the loop looks at its work: whatever
  // raises it later ends the wait below, and whatever raised it before has
  // left work that Idle() sees.
  WakeSignal* wake = phases_.Wake();
  if (wake != nullptr) wake->Drain();
  phases_.Tend(tick);
  uint32_t waitMs = 0;
  if (sinceSecond < kRetryIntervalMs && phases_.Idle()) {
    // Nothing to pass on, forward, time or release: a pass would only look
    // and go back to sleep, so the loop sleeps until there is work. Asked
    // before the pass gate, so a pass that left nothing behind is not
    // followed by a wake-up 10 ms later that finds nothing.
    waitMs = kRetryIntervalMs - sinceSecond;
  } else if (sincePass < kPassIntervalMs) {
    waitMs = kPassIntervalMs - sincePass;
  }
  if (waitMs > 0) {
    // Until then only a key, a signal or the wake signal needs the loop.
    const int ms = static_cast<int>(std::max<uint32_t>(1, std::min(waitMs, phases_.LongestWaitMs(tick))));
    if (!keys_.WaitForKey(ms, wake)) {
      if (wake != nullptr) {
        wake->Wait(ms);
      } else {
        CurrentClock().SleepMs(ms);
      }
    }
    return true;
  }
  lastPassTick_ = tick;

  phases_.Sweep();
  if (static_cast<uint32_t>(tick - lastSecondTick_) >= kRetryIntervalMs) {
    lastSecondTick_ = tick;
    phases_.OncePerSecond();
  }
  phases_.ServerPump();
  phases_.ClientPass();
  return true;
}

}  // namespace veltor
