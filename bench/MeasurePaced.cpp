// Paced runs: a write every 20 ms, the first record of each a probe. They give
// the delivery latency and, with the CPU window over the same span, the CPU
// each delivered megabyte cost.
#include "bench/Abort.h"
#include "bench/PeerRun.h"
#include "bench/Paced.h"
#include "bench/Progress.h"

namespace veltor::bench {

bool PeerRun::MeasureConsole() {
  Progress("  %s: console rate %.0f s\n", Tag(), options_.latencySeconds);
  if (!Paced(kConsoleRecordsPerWrite, options_.latencySeconds, kDrainLimit, result_.console)) return false;
  if (!result_.console.delivered) result_.undelivered = true;
  return true;
}

bool PeerRun::MeasureBusy() {
  Progress("  %s: %zu B writes at %d/s, %.0f s\n", Tag(), kBusyRecordsPerWrite * kRecordBytes,
           kWritesPerSecond, options_.latencySeconds);
  if (!Paced(kBusyRecordsPerWrite, options_.latencySeconds, kDrainLimit, result_.busy)) return false;
  if (!result_.busy.delivered) result_.undelivered = true;
  return true;
}

// The bytes received in the CPU window are the bytes that CPU delivered.
bool PeerRun::Paced(size_t records, double seconds, Ns drainLimit, PacedFigures& paced) {
  paced.recordsPerWrite = records;
  const int writes = static_cast<int>(seconds * kWritesPerSecond);
  const BackgroundLoad load(Excluded());
  const uint64_t receivedBefore = clients_.TotalReceived();
  clients_.StartRecording();
  const std::optional<CpuMeter> meter = CpuMeter::Start(Pid());
  if (!meter) return false;
  const Ns start = NowNs() + 10 * kMs;
  for (int i = 0; i < writes && !paced.sourceBlocked; ++i) {
    if (!SleepUntil(start + static_cast<Ns>(i) * (kSec / kWritesPerSecond)) || Interrupted()) return false;
    paced.sourceBlocked = !source_.SendBurst(records, NowNs() + kSourceSendLimit);
  }
  paced.delivered = !paced.sourceBlocked && WaitDelivered(clients_, source_, NowNs() + drainLimit);
  const std::optional<CpuFigures> cpu = meter->Read();
  if (!cpu || Aborted()) return false;
  paced.cpu = *cpu;
  paced.latency = Summarise(clients_.StopRecording(), static_cast<size_t>(writes) * clients_.Size());
  paced.deliveredBytes = clients_.TotalReceived() - receivedBefore;
  paced.load = load.Cores();
  return true;
}

}  // namespace veltor::bench
