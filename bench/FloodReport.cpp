#include "bench/FloodReport.h"

#include <cinttypes>
#include <cstdio>

#include "bench/ReportLines.h"

namespace veltor::bench {

namespace {

// The relay is to read and drop a flood for at most this much of one core.
constexpr double kTargetFloodPercent = 10;
constexpr double kBytesPerGiB = 1024.0 * 1024.0 * 1024.0;

const char* const kNcatFloodNote = "ncat forwards the flood to every member";

int AllClients(const Result& r) { return r.clients + r.flood.flooders; }

const Result* Find(const std::vector<Result>& floods, PeerKind peer) {
  for (const Result& r : floods) {
    if (r.peer == peer) return &r;
  }
  return nullptr;
}

}  // namespace

void PrintFloodResult(const Result& r) {
  const FloodFigures& f = r.flood;
  std::printf("\n== %s, flood: %d clients send flat out, %d reads (admitted in %.1f s) ==\n", PeerName(r.peer),
              f.flooders, r.clients, r.admitSeconds);
  std::printf("  %-40s %7.2f %% of one core (utime + stime over %.1f s); scheduler %.2f %%: main thread %.2f %% "
              "(%.0f wake-ups/s), others %.2f %% (%.0f/s)\n",
              "CPU during the flood", f.cpu.ticksPercent, f.cpu.seconds, f.cpu.percent, f.cpu.mainPercent,
              f.cpu.mainWakeups, f.cpu.othersPercent, f.cpu.othersWakeups);
  std::printf("  %-40s %.1f MB, %.1f MB/s (%.2f GiB/s); %.1f MB sent back to them; %zu of %d closed by the peer\n",
              "taken from the flooders", static_cast<double>(f.floodedBytes) / 1e6, f.FloodedMBps(),
              f.FloodedMBps() * 1e6 / kBytesPerGiB, static_cast<double>(f.echoedBytes) / 1e6, f.floodersClosed,
              f.flooders);
  std::printf("  %-40s %9s %9s %9s %14s\n", "delivery latency", "p50 ms", "p99 ms", "max ms", "samples");
  PrintLatencyRow("reader, console rate during the flood", f.reader);
  std::printf("  %-40s VmRSS %lld KiB after the flood; peak VmRSS (VmHWM) %lld KiB\n", "memory",
              static_cast<long long>(f.rssKiB), static_cast<long long>(r.peakRssKiB));
  std::printf("  %-40s flood %.2f\n", "other processes' load (cores)", f.reader.load);
  std::printf("  %-40s %" PRIu64 " bad records, %zu clients closed, %s Disc lines, %s, exit: %s\n", "integrity",
              r.recordErrors, r.clientsLost, r.discLines < 0 ? "no" : std::to_string(r.discLines).c_str(),
              r.undelivered ? "SOME DATA UNDELIVERED" : "all data delivered", r.exit.empty() ? "clean" : r.exit.c_str());
  if (r.peer == PeerKind::kNcat) {
    std::printf("  %-40s %s, the reader and the source included: its reader's records are\n"
                "  %-40s broken by the zeros, and its CPU is the cost of forwarding, not of dropping\n",
                "note", kNcatFloodNote, "");
  }
}

void PrintFloodMetrics(const Result& r) {
  const FloodFigures& f = r.flood;
  const MetricLines lines(r.peer, AllClients(r));
  lines.Metric("flood_admit_seconds", r.admitSeconds, "s");
  lines.Metric("flood_seconds", f.cpu.seconds, "s");
  lines.Metric("flood_cpu", f.cpu.ticksPercent, "percent_of_one_core");
  lines.Metric("flood_cpu_scheduler", f.cpu.percent, "percent_of_one_core");
  lines.Metric("flood_cpu_main_thread", f.cpu.mainPercent, "percent_of_one_core");
  lines.Metric("flood_cpu_other_threads", f.cpu.othersPercent, "percent_of_one_core");
  lines.Metric("flood_taken", static_cast<double>(f.floodedBytes), "bytes");
  lines.Metric("flood_rate", f.FloodedMBps(), "MB/s");
  lines.Metric("flood_sent_back", static_cast<double>(f.echoedBytes), "bytes");
  lines.Metric("flood_flooders_closed", static_cast<double>(f.floodersClosed), "count");
  lines.Paced("flood_reader", f.reader);
  lines.Metric("flood_rss", static_cast<double>(f.rssKiB), "KiB");
  lines.Metric("flood_peak_rss", static_cast<double>(r.peakRssKiB), "KiB");
  lines.Metric("flood_record_errors", static_cast<double>(r.recordErrors), "count");
  lines.Metric("flood_clients_lost", static_cast<double>(r.clientsLost), "count");
  lines.Metric("flood_undelivered", r.undelivered ? 1 : 0, "bool");
}

void AddFloodRows(ComparisonTable& table, const std::vector<Result>& floods) {
  const Result* veltor = Find(floods, PeerKind::kVeltor);
  const Result* ncat = Find(floods, PeerKind::kNcat);
  if (veltor == nullptr && ncat == nullptr) return;
  const Result& any = veltor != nullptr ? *veltor : *ncat;
  auto row = [&](const char* metric, const std::string& figure, const char* unit, int decimals,
                 const std::function<Cell(const Result&)>& of, bool ncatComparable) {
    Comparison added;
    added.metric = metric;
    added.figure = figure;
    added.clients = AllClients(any);
    added.unit = unit;
    added.decimals = decimals;
    added.ratioMeaningful = false;
    if (veltor != nullptr) added.veltor = of(*veltor);
    if (ncat != nullptr) {
      added.ncat = ncatComparable ? of(*ncat) : Cell{};
      added.ncat.note = kNcatFloodNote;
    }
    table.AddRow(added);
  };
  const std::string flooders = std::to_string(any.flood.flooders) + " clients";
  row("flood_cpu", "CPU while " + flooders + " flood without pass-through, % of one core (utime + stime)", "%", 2,
      [](const Result& r) { return Cell{r.flood.cpu.ticksPercent, ""}; }, true);
  table.Target("≤ 10 %", [](const Comparison& compared) { return AtMost(compared, kTargetFloodPercent); });
  row("flood_rate", "flood taken from the " + flooders, "MB/s", 1,
      [](const Result& r) { return Cell{r.flood.FloodedMBps(), ""}; }, true);
  row("flood_reader_latency_p50", "a reader's latency p50 during the flood, console rate", "ms", 2,
      [](const Result& r) { return LatencyCell(r.flood.reader, &LatencyStats::p50Ms); }, false);
  row("flood_reader_latency_p99", "a reader's latency p99 during the flood, console rate", "ms", 2,
      [](const Result& r) { return LatencyCell(r.flood.reader, &LatencyStats::p99Ms); }, false);
}

void PrintFloodNote() {
  std::printf("\nThe flood's CPU is utime + stime from /proc/PID/stat over the flood. The relay admits the flooders\n"
              "without pass-through and drops what they send; ncat has no such rule and sends it on to every\n"
              "other member, so its flood figures stand beside the relay's and are not a comparison.\n");
}

}  // namespace veltor::bench
