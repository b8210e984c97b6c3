#include "bench/Run.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "bench/Abort.h"
#include "bench/FloodReport.h"
#include "bench/Paced.h"
#include "bench/PeerRun.h"
#include "bench/Report.h"

namespace veltor::bench {

namespace {

constexpr int kFlooders = 2;
constexpr int kFloodReaders = 1;

using Runs = std::vector<std::unique_ptr<PeerRun>>;

// Starts one run per chosen peer; its files are named PEER-`suffix`.
bool StartRuns(const Options& options, PeerSetup setup, const std::string& suffix, const std::filesystem::path& work,
               Runs& runs) {
  for (const PeerKind kind : options.peers) {
    setup.kind = kind;
    setup.stem = std::string(PeerName(kind)) + "-" + suffix;
    runs.push_back(std::make_unique<PeerRun>(options));
    if (!runs.back()->Start(setup, work)) return false;
  }
  return true;
}

// Each run leaves the other peers' processes out of its background load.
void TellCompanions(Runs& runs) {
  for (const auto& run : runs) {
    std::vector<pid_t> others;
    for (const auto& other : runs) {
      if (other != run && other->Pid() > 0) others.push_back(other->Pid());
    }
    run->SetCompanions(others);
  }
}

// The last measurement of each peer in turn, after which that peer stops at
// once and its block is printed: what the measurement leaves behind (a
// stopped client, a flood's backlog) is not for the next peer to meet.
bool MeasureLastAndStop(Runs& runs, const std::function<bool(PeerRun&)>& last, void (*print)(const Result&),
                        std::vector<Result>& out) {
  for (const auto& run : runs) {
    if (!last(*run)) return false;
    run->Finish();
    TellCompanions(runs);
    out.push_back(run->Outcome());
    print(out.back());
    std::fflush(stdout);
  }
  return true;
}

}  // namespace

// The stalled case comes last for each peer: a stopped client keeps costing
// until its peer stops.
bool RunCount(const Options& options, int count, const std::filesystem::path& work, std::vector<Result>& results) {
  Runs runs;
  PeerSetup setup;
  setup.clients = count;
  setup.extraClients = 1;
  setup.tag = "N=" + std::to_string(count);
  if (!StartRuns(options, setup, std::to_string(count), work, runs)) return false;
  TellCompanions(runs);
  for (const auto& run : runs) {
    if (!run->Admit()) return false;
  }
  if (!SleepFor(kSettleTime)) return false;  // the last admissions' work dies down before the idle samples
  const std::vector<bool (PeerRun::*)()> phases{&PeerRun::MeasureIdle, &PeerRun::MeasureConsole,
                                                &PeerRun::MeasureBusy, &PeerRun::MeasureThroughput};
  for (const auto phase : phases) {
    for (const auto& run : runs) {
      if (!((*run).*phase)()) return false;
    }
  }
  return MeasureLastAndStop(runs, [](PeerRun& run) { return run.MeasureStalled(); }, PrintResult, results);
}

// The flood of one peer runs while the other sits idle with its clients
// connected.
bool RunFlood(const Options& options, const std::filesystem::path& work, std::vector<Result>& floods) {
  Runs runs;
  PeerSetup setup;
  setup.clients = kFloodReaders;
  setup.extraClients = kFlooders;
  setup.passRx = false;
  setup.tag = "flood";
  if (!StartRuns(options, setup, "flood", work, runs)) return false;
  TellCompanions(runs);
  for (const auto& run : runs) {
    if (!run->Admit() || !run->AdmitFlooders(kFlooders)) return false;
  }
  return MeasureLastAndStop(
      runs, [&options](PeerRun& run) { return run.MeasureFlood(options.floodSeconds); }, PrintFloodResult, floods);
}

}  // namespace veltor::bench
