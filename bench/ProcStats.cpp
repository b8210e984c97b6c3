#include "bench/ProcStats.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bench/Abort.h"

namespace veltor::bench {

namespace {

std::string StatPath(pid_t pid) { return "/proc/" + std::to_string(pid) + "/stat"; }

double TicksPerSecond() { return static_cast<double>(::sysconf(_SC_CLK_TCK)); }

}  // namespace

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<uint64_t> TryCpuTicks(pid_t pid) {
  const std::string stat = ReadFile(StatPath(pid));
  const size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 > stat.size()) return std::nullopt;
  std::istringstream fields(stat.substr(close + 2));
  std::vector<std::string> values;
  std::string value;
  while (fields >> value) values.push_back(value);
  // After "pid (comm)": state is field 3, so utime (14) and stime (15) sit at 11 and 12.
  if (values.size() < 13) return std::nullopt;
  return std::strtoull(values[11].c_str(), nullptr, 10) + std::strtoull(values[12].c_str(), nullptr, 10);
}

int64_t StatusField(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::atoll(line.c_str() + name.size() + 1);
  }
  return -1;
}

std::optional<CpuMeter> CpuMeter::Start(pid_t pid) {
  const ThreadTimes threads = SampleThreads(pid);
  const std::optional<uint64_t> ticks = TryCpuTicks(pid);
  if (!ticks) {
    Fail("cannot read " + StatPath(pid));
    return std::nullopt;
  }
  return CpuMeter(pid, threads, *ticks);
}

std::optional<CpuFigures> CpuMeter::Read() const {
  const Ns at = NowNs();
  const std::optional<uint64_t> ticks = TryCpuTicks(pid_);
  if (!ticks) {
    Fail("cannot read " + StatPath(pid_));
    return std::nullopt;
  }
  const ThreadTimes threads = SampleThreads(pid_);
  CpuFigures cpu;
  cpu.seconds = static_cast<double>(at - at_) / kSec;
  if (cpu.seconds <= 0) return cpu;
  auto percentOf = [&](uint64_t ns) { return 100.0 * static_cast<double>(ns) / kSec / cpu.seconds; };
  cpu.mainPercent = percentOf(threads.mainNs - threads_.mainNs);
  cpu.othersPercent = percentOf(threads.othersNs - threads_.othersNs);
  cpu.percent = cpu.mainPercent + cpu.othersPercent;
  cpu.ticksPercent = 100.0 * static_cast<double>(*ticks - ticks_) / TicksPerSecond() / cpu.seconds;
  cpu.mainWakeups = static_cast<double>(threads.mainRuns - threads_.mainRuns) / cpu.seconds;
  cpu.othersWakeups = static_cast<double>(threads.othersRuns - threads_.othersRuns) / cpu.seconds;
  return cpu;
}

CpuMeter::ThreadTimes CpuMeter::SampleThreads(pid_t pid) {
  ThreadTimes times;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
    std::istringstream fields(ReadFile((entry.path() / "schedstat").string()));
    uint64_t onCpu = 0;
    uint64_t waited = 0;
    uint64_t runs = 0;
    if (!(fields >> onCpu >> waited >> runs)) continue;
    const bool main = entry.path().filename() == std::to_string(pid);
    (main ? times.mainNs : times.othersNs) += onCpu;
    (main ? times.mainRuns : times.othersRuns) += runs;
  }
  return times;
}

BackgroundLoad::BackgroundLoad(std::vector<pid_t> excluded) : excluded_(std::move(excluded)) {
  excluded_.push_back(::getpid());
  start_ = Take();
}

double BackgroundLoad::Cores() const {
  const Sample end = Take();
  double others = static_cast<double>(end.machine - start_.machine);
  for (size_t i = 0; i < excluded_.size(); ++i) {
    if (start_.excluded[i] && end.excluded[i]) others -= static_cast<double>(*end.excluded[i] - *start_.excluded[i]);
  }
  const double seconds = static_cast<double>(end.at - start_.at) / kSec;
  // Each counter is sampled at a slightly different moment, so the difference
  // can come out a tick or two below zero on a quiet machine.
  return std::max(0.0, others / TicksPerSecond() / seconds);
}

BackgroundLoad::Sample BackgroundLoad::Take() const {
  Sample sample;
  std::istringstream line(ReadFile("/proc/stat"));
  std::string label;
  line >> label;
  uint64_t value = 0;
  for (int field = 0; field < 8 && line >> value; ++field) {
    if (field != 3 && field != 4) sample.machine += value;  // all but idle and iowait
  }
  for (const pid_t pid : excluded_) sample.excluded.push_back(TryCpuTicks(pid));
  sample.at = NowNs();
  return sample;
}

}  // namespace veltor::bench
