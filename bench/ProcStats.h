// What /proc says about a peer and about the machine: CPU time per process
// and per thread, memory, and the load of everything else.
//
// Single-threaded: the thread that runs the measurements.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "bench/BenchClock.h"

namespace veltor::bench {

// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);

// utime + stime of every thread, in clock ticks; nothing if the process is gone.
std::optional<uint64_t> TryCpuTicks(pid_t pid);

// A field of /proc/PID/status such as VmRSS (KiB) or Threads; -1 if absent.
int64_t StatusField(pid_t pid, const std::string& name);

// A peer's CPU over one window, in % of one core.
struct CpuFigures {
  double seconds = 0;
  double percent = 0;       // all threads, scheduler accounting: the figure compared
  double ticksPercent = 0;  // utime + stime, a cross-check in 10 ms ticks
  double mainPercent = 0;
  double othersPercent = 0;
  double mainWakeups = 0;  // per second
  double othersWakeups = 0;
  double CpuSeconds() const { return percent / 100.0 * seconds; }
};

// Time on CPU per thread, in nanoseconds, from the scheduler's own accounting
// (/proc/PID/task/*/schedstat): finer than the clock ticks of /proc/PID/stat,
// and it tells the main thread from the others (the relay's client workers;
// ncat has only the one). Both are read at the start and again at Read().
class CpuMeter {
 public:
  // Nothing (and Fail) if the process is gone.
  static std::optional<CpuMeter> Start(pid_t pid);
  // The window since Start; nothing (and Fail) if the process is gone.
  std::optional<CpuFigures> Read() const;

 private:
  struct ThreadTimes {
    uint64_t mainNs = 0;
    uint64_t othersNs = 0;
    uint64_t mainRuns = 0;  // times scheduled in, roughly one per wake-up
    uint64_t othersRuns = 0;
  };
  static ThreadTimes SampleThreads(pid_t pid);

  CpuMeter(pid_t pid, ThreadTimes threads, uint64_t ticks) : pid_(pid), threads_(threads), ticks_(ticks) {}

  pid_t pid_;
  ThreadTimes threads_;
  uint64_t ticks_;
  Ns at_ = NowNs();
};

// The machine is shared: what other processes burn while a figure is taken is
// measured alongside it, so a noisy figure can be told from a slow peer. The
// peers under test and this benchmark are left out.
class BackgroundLoad {
 public:
  explicit BackgroundLoad(std::vector<pid_t> excluded);

  // Cores' worth of CPU used by everything else since construction.
  double Cores() const;

 private:
  struct Sample {
    uint64_t machine = 0;  // busy ticks of all CPUs
    std::vector<std::optional<uint64_t>> excluded;
    Ns at = 0;
  };
  Sample Take() const;

  std::vector<pid_t> excluded_;
  Sample start_;
};

}  // namespace veltor::bench
