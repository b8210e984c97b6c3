#include "bench/Report.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>

#include "bench/Comparison.h"
#include "bench/FloodReport.h"
#include "bench/ReportLines.h"

namespace veltor::bench {

namespace {

void PrintPerMegabyte(const char* label, const PacedFigures& paced) {
  std::printf("  %-40s %7.2f CPU ms/MB (%.2f MB delivered, %.2f %% of a core over %.1f s)\n", label,
              paced.CpuMsPerMB(), static_cast<double>(paced.deliveredBytes) / 1e6, paced.cpu.percent,
              paced.cpu.seconds);
}

void PrintMetrics(const Result& r, const std::map<int, double>& perClientKiB) {
  const MetricLines lines(r.peer, r.clients);
  lines.Metric("admit_seconds", r.admitSeconds, "s");
  lines.Idle("idle", r.idle);
  lines.Metric("idle_rss", static_cast<double>(r.idle.rssKiB), "KiB");
  lines.Metric("idle_threads", static_cast<double>(r.idle.threads), "count");
  lines.Paced("console", r.console);
  lines.Paced("busy", r.busy);
  lines.Metric("throughput_min", r.throughputMinKBps, "kB/s");
  lines.Metric("throughput_mean", r.throughputMeanKBps, "kB/s");
  lines.Metric("throughput_background_load", r.throughputLoad, "cores");
  lines.Idle("stalled_idle", r.stall.idle);
  lines.Paced("stalled_console", r.stall.console);
  lines.Metric("stalled_cost_idle", r.stall.idle.cpu.percent - r.idle.cpu.percent, "percent_of_one_core");
  lines.Metric("stalled_cost_console", r.stall.console.cpu.percent - r.console.cpu.percent, "percent_of_one_core");
  lines.Metric("stalled_starved", r.stall.starved ? 1 : 0, "bool");
  lines.Metric("stalled_recovered", r.stall.recovered ? 1 : 0, "bool");
  lines.Metric("stalled_prefill", static_cast<double>(r.stall.prefillBytes), "bytes");
  if (r.peer == PeerKind::kVeltor) {
    lines.Metric("stalled_queued_before", static_cast<double>(r.stall.queuedBefore), "bytes");
    lines.Metric("stalled_queued_after", static_cast<double>(r.stall.queuedAfter), "bytes");
  }
  lines.Metric("peak_rss", static_cast<double>(r.peakRssKiB), "KiB");
  const auto per = perClientKiB.find(r.clients);
  if (per != perClientKiB.end()) lines.Metric("memory_per_idle_client", per->second, "KiB");
  lines.Metric("record_errors", static_cast<double>(r.recordErrors), "count");
  lines.Metric("clients_lost", static_cast<double>(r.clientsLost), "count");
  lines.Metric("undelivered", r.undelivered ? 1 : 0, "bool");
}

// Memory per idle client beyond the first, from each peer's one-client run.
std::map<std::pair<PeerKind, int>, double> MemoryPerClient(const std::vector<Result>& results) {
  std::map<std::pair<PeerKind, int>, double> perClient;
  for (const Result& single : results) {
    if (single.clients != 1) continue;
    for (const Result& r : results) {
      if (r.peer == single.peer && r.clients > 1) {
        perClient[{r.peer, r.clients}] = static_cast<double>(r.idle.rssKiB - single.idle.rssKiB) / (r.clients - 1);
      }
    }
  }
  return perClient;
}

// How busy the rest of the machine was across every figure of the run.
struct LoadRange {
  double least = 0;
  double mean = 0;
  double most = 0;
};

LoadRange BackgroundLoadRange(const std::vector<Result>& results, const std::vector<Result>& floods) {
  std::vector<double> loads;
  for (const Result& r : results) {
    for (const double load : {r.idle.load, r.console.load, r.busy.load, r.throughputLoad, r.stall.idle.load,
                              r.stall.console.load}) {
      loads.push_back(load);
    }
  }
  for (const Result& r : floods) loads.push_back(r.flood.reader.load);
  LoadRange range;
  if (loads.empty()) return range;
  range.least = *std::min_element(loads.begin(), loads.end());
  range.most = *std::max_element(loads.begin(), loads.end());
  double sum = 0;
  for (const double load : loads) sum += load;
  range.mean = sum / static_cast<double>(loads.size());
  return range;
}

void PrintSummaryTable(const std::vector<Result>& results) {
  std::printf("\n== summary ==\n");
  std::printf("  %-7s %7s %8s %8s %9s %9s %9s %9s %10s %11s %9s\n", "peer", "clients", "p50 ms", "p99 ms", "idle %",
              "con ms/MB", "busy ms/MB", "stall +%", "stall p99", "mean kB/s", "RSS KiB");
  for (const Result& r : results) {
    char stallP99[32];
    if (Starved(r.stall.console)) std::snprintf(stallP99, sizeof stallP99, "starved");
    else std::snprintf(stallP99, sizeof stallP99, "%.3f", r.stall.console.latency.p99Ms);
    std::printf("  %-7s %7d %8.3f %8.3f %9.3f %9.1f %9.1f %9.3f %10s %11.1f %9lld\n", PeerName(r.peer), r.clients,
                r.console.latency.p50Ms, r.console.latency.p99Ms, r.idle.cpu.percent, r.console.CpuMsPerMB(),
                r.busy.CpuMsPerMB(), r.stall.idle.cpu.percent - r.idle.cpu.percent, stallP99, r.throughputMeanKBps,
                static_cast<long long>(r.idle.rssKiB));
  }
}

}  // namespace

void PrintMachine() {
  utsname name{};
  ::uname(&name);
  std::printf("Fan-out benchmark: %ld CPUs online, kernel %s %s\n", ::sysconf(_SC_NPROCESSORS_ONLN), name.sysname,
              name.release);
}

void PrintPeers(const Options& options) {
  std::printf("peers:");
  for (const PeerKind kind : options.peers) {
    std::string command = kind == PeerKind::kVeltor ? options.relay : options.ncat;
    if (kind == PeerKind::kVeltor) {
      for (const std::string& option : options.relayOptions) command += " " + option;
    }
    std::printf(" %s (%s)", PeerName(kind), command.c_str());
  }
  std::printf("\n");
}

void PrintResult(const Result& r) {
  const StallFigures& st = r.stall;
  std::printf("\n== %s, %d client%s (admitted in %.1f s) ==\n", PeerName(r.peer), r.clients,
              r.clients == 1 ? "" : "s", r.admitSeconds);
  std::printf("  %-40s %9s %9s %9s %14s\n", "delivery latency", "p50 ms", "p99 ms", "max ms", "samples");
  PrintLatencyRow("console rate (64 B x 50/s)", r.console);
  PrintLatencyRow("busy (960 B x 50/s)", r.busy);
  PrintLatencyRow("console rate, one client stopped", st.console);
  std::printf("  CPU, %% of one core (scheduler accounting)\n");
  PrintCpuRow("  idle", r.idle.cpu);
  PrintCpuRow("  console rate", r.console.cpu);
  PrintCpuRow("  busy", r.busy.cpu);
  PrintCpuRow("  idle, one client stopped", st.idle.cpu);
  PrintCpuRow("  console rate, one client stopped", st.console.cpu);
  PrintPerMegabyte("CPU per delivered MB, console rate", r.console);
  PrintPerMegabyte("CPU per delivered MB, busy", r.busy);
  std::printf("  %-40s idle %+.3f %% of a core, console rate %+.3f %%%s\n", "cost of the stopped client",
              st.idle.cpu.percent - r.idle.cpu.percent, st.console.cpu.percent - r.console.cpu.percent,
              st.starved ? "; STALLED: healthy clients starved" : "");
  std::printf("  %-40s prefill %llu KiB (%llu KiB reached each healthy client), %lld B in its socket",
              "  stopped client", static_cast<unsigned long long>(st.prefillBytes / 1024),
              static_cast<unsigned long long>(st.deliveredBeforeStarving / 1024),
              static_cast<long long>(st.receiveQueue));
  if (r.peer == PeerKind::kVeltor) {
    std::printf("; relay queued %lld B, %lld B at the end", static_cast<long long>(st.queuedBefore),
                static_cast<long long>(st.queuedAfter));
  }
  if (st.starved) std::printf("; %s once it closed", st.recovered ? "all delivered" : "NOT ALL DELIVERED");
  std::printf("\n");
  std::printf("  %-40s min %.2f kB/s, mean %.2f kB/s (over %.1f s)%s\n", "throughput per client, flat out",
              r.throughputMinKBps, r.throughputMeanKBps, r.throughputWindowSeconds,
              r.throughputStarved ? "  STALLED" : "");
  std::printf("  %-40s VmRSS %lld KiB, %lld threads; peak VmRSS (VmHWM) %lld KiB\n", "memory",
              static_cast<long long>(r.idle.rssKiB), static_cast<long long>(r.idle.threads),
              static_cast<long long>(r.peakRssKiB));
  std::printf("  %-40s idle %.2f, console %.2f, busy %.2f, throughput %.2f, stopped idle %.2f, stopped console %.2f\n",
              "other processes' load (cores)", r.idle.load, r.console.load, r.busy.load, r.throughputLoad,
              st.idle.load, st.console.load);
  std::printf("  %-40s %" PRIu64 " bad records, %zu clients closed, %s Disc lines, %s, exit: %s\n", "integrity",
              r.recordErrors, r.clientsLost, r.discLines < 0 ? "no" : std::to_string(r.discLines).c_str(),
              r.undelivered ? "SOME DATA UNDELIVERED" : "all data delivered", r.exit.empty() ? "clean" : r.exit.c_str());
}

void PrintSummary(const Options& options, const std::vector<Result>& results, const std::vector<Result>& floods) {
  const auto perClient = MemoryPerClient(results);
  if (!results.empty()) PrintSummaryTable(results);
  std::printf("\n");
  for (const Result& r : results) {
    std::map<int, double> own;
    for (const auto& [key, value] : perClient) {
      if (key.first == r.peer) own[key.second] = value;
    }
    PrintMetrics(r, own);
  }
  for (const Result& r : floods) PrintFloodMetrics(r);
  std::vector<int> counts;
  for (const int c : options.counts) {
    if (std::find(counts.begin(), counts.end(), c) == counts.end()) counts.push_back(c);
  }
  ComparisonTable table = BuildComparison(results, counts, perClient);
  AddFloodRows(table, floods);
  std::printf("\n");
  table.PrintPlain();
  const LoadRange load = BackgroundLoadRange(results, floods);
  std::printf("LOAD metric=background_load min=%.2f mean=%.2f max=%.2f unit=cores\n", load.least, load.mean,
              load.most);
  std::printf("\n== side by side (Markdown) ==\n\n");
  table.PrintMarkdown();
  std::printf("\nOther processes used %.2f to %.2f cores (mean %.2f) during the measurements.\n", load.least,
              load.most, load.mean);
  std::printf("\nCPU is the scheduler's accounting of all the peer's threads; a megabyte is 10^6 bytes received by\n"
              "the clients together. Other processes' load during each figure is in the BENCH lines.\n");
  if (!floods.empty()) PrintFloodNote();
}

}  // namespace veltor::bench
