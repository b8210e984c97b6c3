// Idle: CPU and memory with every client connected and no traffic.
#include "bench/Abort.h"
#include "bench/PeerRun.h"
#include "bench/Progress.h"

namespace veltor::bench {

bool PeerRun::MeasureIdle() {
  Progress("  %s: idle %.0f s\n", Tag(), options_.idleSeconds);
  return SampleIdle(result_.idle);
}

bool PeerRun::SampleIdle(IdleFigures& idle) {
  const BackgroundLoad load(Excluded());
  const std::optional<CpuMeter> meter = CpuMeter::Start(Pid());
  if (!meter || !SleepFor(Seconds(options_.idleSeconds))) return false;
  const std::optional<CpuFigures> cpu = meter->Read();
  if (!cpu) return false;
  idle.cpu = *cpu;
  idle.load = load.Cores();
  idle.rssKiB = StatusField(Pid(), "VmRSS");
  idle.threads = StatusField(Pid(), "Threads");
  return true;
}

}  // namespace veltor::bench
