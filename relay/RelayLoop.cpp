#include "relay/RelayLoop.h"

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
  if (sincePass < kPassIntervalMs) {
    // Until the next pass is due only a key (or a signal) needs the loop, so
    // it waits for one instead of looking every millisecond.
    const int untilPass = static_cast<int>(kPassIntervalMs - sincePass);
    if (!keys_.WaitForKey(untilPass)) CurrentClock().SleepMs(untilPass);
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
