#include "bench/Comparison.h"

#include <cstdio>

namespace veltor::bench {

namespace {

Cell Value(double value) { return Cell{value, ""}; }

std::optional<double> Ratio(const Comparison& row) {
  if (!row.ratioMeaningful || !row.veltor.value || !row.ncat.value) return std::nullopt;
  if (!row.veltor.note.empty() || !row.ncat.note.empty() || *row.ncat.value <= row.ratioFloor) return std::nullopt;
  return *row.veltor.value / *row.ncat.value;
}

bool NearZero(const Comparison& row) {
  return row.ratioMeaningful && row.ncat.value && row.ncat.note.empty() && *row.ncat.value <= row.ratioFloor;
}

std::string FormatCell(const Cell& cell, const std::string& unit, int decimals) {
  std::string text;
  if (cell.value) {
    char number[64];
    std::snprintf(number, sizeof number, "%.*f", decimals, *cell.value);
    text = number;
    if (!unit.empty()) text += " " + unit;
  }
  if (!cell.note.empty()) text += text.empty() ? cell.note : " (" + cell.note + ")";
  return text.empty() ? "—" : text;
}

std::string Plain(const std::optional<double>& value) {
  if (!value) return "na";
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", *value);
  return text;
}

std::string Verdict(const Comparison& row) {
  if (!row.met) return "n/a";
  return *row.met ? "met" : "missed";
}

std::optional<bool> Below(const Comparison& row, double limit) {
  if (!row.veltor.value || !row.veltor.note.empty()) return std::nullopt;
  return *row.veltor.value < limit;
}

std::optional<bool> RatioAtMost(const Comparison& row, double limit) {
  const std::optional<double> ratio = Ratio(row);
  if (!ratio) return std::nullopt;
  return *ratio <= limit;
}

std::optional<bool> WithinNcatPlus(const Comparison& row, double marginMs) {
  if (!row.veltor.value || !row.ncat.value || !row.veltor.note.empty() || !row.ncat.note.empty()) return std::nullopt;
  return *row.veltor.value <= *row.ncat.value + marginMs;
}

constexpr double kTargetStallCostPercent = 0.2;
constexpr double kTargetCpuPerMegabyteRatio = 1.5;
constexpr double kTargetIdlePercentAt100 = 0.3;
constexpr double kTargetP99MarginMs = 1.0;

// What the readings cannot tell from zero: a few scheduler slices over the
// idle window, and a page of RSS spread over the clients.
constexpr double kIdleCpuFloorPercent = 0.01;
constexpr double kMemoryPerClientFloorKiB = 1.0;

}  // namespace

Cell LatencyCell(const PacedFigures& paced, double LatencyStats::*figure) {
  if (!Starved(paced)) return Value(paced.latency.*figure);
  Cell cell;
  if (paced.latency.samples > 0) cell.value = paced.latency.*figure;
  cell.note = "starved: " + std::to_string(paced.latency.samples) + "/" + std::to_string(paced.latency.expected) +
              " probes";
  return cell;
}

std::optional<bool> AtMost(const Comparison& row, double limit) {
  if (!row.veltor.value || !row.veltor.note.empty()) return std::nullopt;
  return *row.veltor.value <= limit;
}

void ComparisonTable::Add(const std::string& metric, const std::string& figure, int clients, const std::string& unit,
                          int decimals, bool ratioMeaningful, const CellOf& of, double ratioFloor) {
  const Result* v = Find(PeerKind::kVeltor, clients);
  const Result* n = Find(PeerKind::kNcat, clients);
  if (v == nullptr && n == nullptr) return;
  Comparison row;
  row.metric = metric;
  row.figure = figure;
  row.clients = clients;
  row.unit = unit;
  row.decimals = decimals;
  row.ratioMeaningful = ratioMeaningful;
  row.ratioFloor = ratioFloor;
  if (v != nullptr) row.veltor = of(*v);
  if (n != nullptr) row.ncat = of(*n);
  rows_.push_back(row);
}

void ComparisonTable::Target(const std::string& target,
                             const std::function<std::optional<bool>(const Comparison&)>& judge) {
  if (rows_.empty()) return;
  rows_.back().target = target;
  rows_.back().met = judge(rows_.back());
}

void ComparisonTable::PrintPlain() const {
  for (const Comparison& row : rows_) {
    std::printf("COMPARE clients=%d metric=%s veltor=%s ncat=%s ratio=%s unit=%s", row.clients, row.metric.c_str(),
                Plain(row.veltor.value).c_str(), Plain(row.ncat.value).c_str(), Plain(Ratio(row)).c_str(),
                row.unit.empty() ? "none" : row.unit.c_str());
    if (!row.veltor.note.empty()) std::printf(" veltor_note=\"%s\"", row.veltor.note.c_str());
    if (!row.ncat.note.empty()) std::printf(" ncat_note=\"%s\"", row.ncat.note.c_str());
    std::printf("\n");
  }
  for (const Comparison& row : rows_) {
    if (row.target.empty()) continue;
    std::printf("TARGET clients=%d metric=%s target=\"%s\" veltor=%s verdict=%s\n", row.clients, row.metric.c_str(),
                row.target.c_str(), Plain(row.veltor.value).c_str(), Verdict(row).c_str());
  }
}

void ComparisonTable::PrintMarkdown() const {
  std::printf("| figure | clients | Veltor | ncat | Veltor / ncat | target | verdict |\n");
  std::printf("|---|---:|---:|---:|---:|---|---|\n");
  for (const Comparison& row : rows_) {
    const std::optional<double> ratio = Ratio(row);
    char ratioText[32] = "—";
    if (ratio) std::snprintf(ratioText, sizeof ratioText, "%.2f", *ratio);
    else if (NearZero(row)) std::snprintf(ratioText, sizeof ratioText, "n/a (ncat ≈ 0)");
    std::printf("| %s | %d | %s | %s | %s | %s | %s |\n", row.figure.c_str(), row.clients,
                FormatCell(row.veltor, row.unit, row.decimals).c_str(),
                FormatCell(row.ncat, row.unit, row.decimals).c_str(), ratioText,
                row.target.empty() ? "" : row.target.c_str(), row.target.empty() ? "" : Verdict(row).c_str());
  }
}

const Result* ComparisonTable::Find(PeerKind peer, int clients) const {
  for (const Result& r : results_) {
    if (r.peer == peer && r.clients == clients) return &r;
  }
  return nullptr;
}

ComparisonTable BuildComparison(const std::vector<Result>& results, const std::vector<int>& counts,
                                const std::map<std::pair<PeerKind, int>, double>& perClientKiB) {
  ComparisonTable table(results);
  auto latency = [](double LatencyStats::*figure) {
    return [figure](const Result& r) { return LatencyCell(r.console, figure); };
  };
  for (const int c : counts) {
    table.Add("console_latency_p50", "latency p50, console rate", c, "ms", 2, true, latency(&LatencyStats::p50Ms));
    table.Add("console_latency_p99", "latency p99, console rate", c, "ms", 2, true, latency(&LatencyStats::p99Ms));
    if (c == 20) {
      table.Target("≤ ncat + 1 ms", [](const Comparison& row) { return WithinNcatPlus(row, kTargetP99MarginMs); });
    }
  }
  for (const int c : counts) {
    table.Add("console_cpu_per_mb", "CPU ms per delivered MB, console rate (64 B × 50/s)", c, "ms", 0, true,
              [](const Result& r) { return Value(r.console.CpuMsPerMB()); });
    if (c == 20 || c == 100) {
      table.Target("≤ 1.5 × ncat", [](const Comparison& row) { return RatioAtMost(row, kTargetCpuPerMegabyteRatio); });
    }
    table.Add("busy_cpu_per_mb", "CPU ms per delivered MB, busy (960 B × 50/s)", c, "ms", 1, true,
              [](const Result& r) { return Value(r.busy.CpuMsPerMB()); });
    if (c == 20 || c == 100) {
      table.Target("≤ 1.5 × ncat", [](const Comparison& row) { return RatioAtMost(row, kTargetCpuPerMegabyteRatio); });
    }
  }
  for (const int c : counts) {
    table.Add("idle_cpu", "idle CPU, % of one core", c, "%", 3, true,
              [](const Result& r) { return Value(r.idle.cpu.percent); }, kIdleCpuFloorPercent);
    if (c == 100) {
      table.Target("≤ 0.3 %", [](const Comparison& row) { return AtMost(row, kTargetIdlePercentAt100); });
    }
  }
  auto starvedNote = [](const Result& r, Cell cell) {
    if (r.stall.starved) cell.note = "healthy clients starved";
    return cell;
  };
  for (const int c : counts) {
    table.Add("stalled_idle_cpu", "idle CPU with one client stopped, % of one core", c, "%", 3, true,
              [&](const Result& r) { return starvedNote(r, Value(r.stall.idle.cpu.percent)); }, kIdleCpuFloorPercent);
    table.Add("stalled_cost_idle", "cost of a stopped client, idle (with − without)", c, "%", 3, false,
              [&](const Result& r) { return starvedNote(r, Value(r.stall.idle.cpu.percent - r.idle.cpu.percent)); });
    table.Target("< 0.2 %", [](const Comparison& row) { return Below(row, kTargetStallCostPercent); });
    table.Add("stalled_cost_console", "cost of a stopped client, console rate (with − without)", c, "%", 3, false,
              [&](const Result& r) {
                return starvedNote(r, Value(r.stall.console.cpu.percent - r.console.cpu.percent));
              });
    table.Add("stalled_latency_p99", "healthy clients' latency p99, one client stopped", c, "ms", 2, true,
              [](const Result& r) { return LatencyCell(r.stall.console, &LatencyStats::p99Ms); });
  }
  for (const int c : counts) {
    // Not a comparison: the relay is capped near 100 kB/s a client by design.
    table.Add("throughput_mean", "throughput per client, flat out (Veltor capped by design)", c, "kB/s", 1, false,
              [](const Result& r) { return Value(r.throughputMeanKBps); });
  }
  for (const int c : counts) {
    if (c == 1) continue;
    table.Add("memory_per_idle_client", "memory per idle client beyond the first", c, "KiB", 1, true,
              [&perClientKiB, c](const Result& r) {
                const auto per = perClientKiB.find({r.peer, c});
                return per == perClientKiB.end() ? Cell{std::nullopt, "needs the 1-client run"} : Value(per->second);
              },
              kMemoryPerClientFloorKiB);
  }
  return table;
}

}  // namespace veltor::bench
