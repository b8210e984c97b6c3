// One more client that never reads. The kernel buffers on its path grow to
// megabytes before a send to it blocks, so data goes out in steps until the
// case to measure is reached: the relay reports bytes it holds for that
// client (its worker is then caught in a send that cannot finish), or the
// healthy clients stop receiving (ncat blocks in that send, all of it).
#include "bench/Abort.h"
#include "bench/Paced.h"
#include "bench/PeerRun.h"
#include "bench/Progress.h"
#include "bench/RelayPeer.h"

namespace veltor::bench {

namespace {

constexpr uint64_t kStallPrefillStepBytes = 128 * 1024;
constexpr uint64_t kStallPrefillLimitBytes = 16 * 1024 * 1024;
constexpr Ns kPrefillStepLimit = 20 * kSec;

}  // namespace

bool PeerRun::MeasureStalled() {
  StallFigures& stall = result_.stall;
  stall.measured = true;
  Progress("  %s: one client stops reading\n", Tag());
  stalled_ = ConnectClient(1);  // the kernel rounds the receive buffer up to its minimum
  if (stalled_.get() < 0) return false;
  const uint64_t sentBefore = source_.SentBytes();
  const uint64_t receivedBefore = clients_.MinReceived();
  while (stall.prefillBytes < kStallPrefillLimitBytes) {
    const bool flowed = source_.Flood(clients_, NowNs() + kPrefillStepLimit, kStallPrefillStepBytes);
    stall.prefillBytes = source_.SentBytes() - sentBefore;
    if (Aborted()) return false;
    if (!flowed || !WaitDelivered(clients_, source_, NowNs() + kBacklogDrainLimit)) {
      if (Aborted()) return false;
      stall.starved = true;
      break;
    }
    if (Kind() == PeerKind::kVeltor) {
      if (!SleepFor(50 * kMs)) return false;
      stall.queuedBefore = LargestQueued(process_).value_or(-1);
      if (stall.queuedBefore > 0) break;
    }
  }
  stall.deliveredBeforeStarving = clients_.MinReceived() - receivedBefore;
  if (stall.starved) Progress("  %s: healthy clients starved\n", Tag());
  stall.receiveQueue = testing::Pending(stalled_.get());
  if (!SleepFor(200 * kMs)) return false;

  Progress("  %s: idle %.0f s, one client stopped\n", Tag(), options_.idleSeconds);
  if (!SampleIdle(stall.idle)) return false;
  Progress("  %s: console rate %.0f s, one client stopped\n", Tag(), options_.latencySeconds);
  // A peer that starves everyone will not deliver later either: no need to wait long.
  if (!Paced(kConsoleRecordsPerWrite, options_.latencySeconds, stall.starved ? kStarvedAfter : kDrainLimit,
             stall.console)) {
    return false;
  }
  if (Kind() == PeerKind::kVeltor) stall.queuedAfter = LargestQueued(process_).value_or(-1);

  if (stall.starved || !stall.console.delivered) {
    // Freed from the client that blocks it, the peer must deliver the rest
    // intact; a relay that never saw the client go keeps it until it stops.
    stalled_.Close();
    stall.recovered = WaitDelivered(clients_, source_, NowNs() + kBacklogDrainLimit);
    if (!stall.recovered) result_.undelivered = true;
  }
  return !Aborted();
}

}  // namespace veltor::bench
