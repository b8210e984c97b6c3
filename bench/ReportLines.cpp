#include "bench/ReportLines.h"

#include <cstdio>

namespace veltor::bench {

void PrintLatencyRow(const char* label, const PacedFigures& paced) {
  const LatencyStats& s = paced.latency;
  std::printf("  %-40s %9.3f %9.3f %9.3f %7zu/%-6zu%s\n", label, s.p50Ms, s.p99Ms, s.maxMs, s.samples, s.expected,
              Starved(paced) ? "  STALLED: healthy clients starved" : (paced.delivered ? "" : "  (not all delivered)"));
}

void PrintCpuRow(const char* label, const CpuFigures& cpu) {
  std::printf("  %-40s %7.2f %% (ticks %.2f %%); main thread %.2f %% (%.0f wake-ups/s), others %.2f %% (%.0f/s)\n",
              label, cpu.percent, cpu.ticksPercent, cpu.mainPercent, cpu.mainWakeups, cpu.othersPercent,
              cpu.othersWakeups);
}

void MetricLines::Metric(const std::string& name, double value, const char* unit) const {
  std::printf("BENCH peer=%s clients=%d metric=%s value=%.3f unit=%s\n", PeerName(peer_), clients_, name.c_str(),
              value, unit);
}

void MetricLines::Paced(const std::string& prefix, const PacedFigures& p) const {
  Metric(prefix + "_latency_p50", p.latency.p50Ms, "ms");
  Metric(prefix + "_latency_p99", p.latency.p99Ms, "ms");
  Metric(prefix + "_latency_max", p.latency.maxMs, "ms");
  Metric(prefix + "_latency_samples", static_cast<double>(p.latency.samples), "count");
  Metric(prefix + "_latency_expected", static_cast<double>(p.latency.expected), "count");
  Metric(prefix + "_cpu", p.cpu.percent, "percent_of_one_core");
  Metric(prefix + "_cpu_ticks", p.cpu.ticksPercent, "percent_of_one_core");
  Metric(prefix + "_delivered", static_cast<double>(p.deliveredBytes), "bytes");
  Metric(prefix + "_cpu_per_mb", p.CpuMsPerMB(), "cpu_ms_per_MB");
  Metric(prefix + "_starved", Starved(p) ? 1 : 0, "bool");
  Metric(prefix + "_background_load", p.load, "cores");
}

void MetricLines::Idle(const std::string& prefix, const IdleFigures& i) const {
  Metric(prefix + "_cpu", i.cpu.percent, "percent_of_one_core");
  Metric(prefix + "_cpu_ticks", i.cpu.ticksPercent, "percent_of_one_core");
  Metric(prefix + "_cpu_main_thread", i.cpu.mainPercent, "percent_of_one_core");
  Metric(prefix + "_cpu_other_threads", i.cpu.othersPercent, "percent_of_one_core");
  Metric(prefix + "_wakeups_main_thread", i.cpu.mainWakeups, "per_second");
  Metric(prefix + "_wakeups_other_threads", i.cpu.othersWakeups, "per_second");
  Metric(prefix + "_background_load", i.load, "cores");
}

}  // namespace veltor::bench
