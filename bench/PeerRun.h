// One peer's run: the peer process, its source and its clients, and each
// measurement taken on them. Each measurement lives in its own file
// (Measure*.cpp); this class holds what they share.
//
// Every measurement returns false once the run cannot go on (an interrupt or
// a failure, see Abort.h); what a peer does badly (starving its clients, not
// delivering) is a figure, not a failure.
//
// Single-threaded: the thread that runs the benchmark.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "bench/ClientSet.h"
#include "bench/Figures.h"
#include "bench/Flooder.h"
#include "bench/Options.h"
#include "bench/PeerProcess.h"
#include "bench/Source.h"

namespace veltor::bench {

// One peer's configuration for a run.
struct PeerSetup {
  PeerKind kind = PeerKind::kVeltor;
  int clients = 0;       // reading clients, held in the ClientSet
  int extraClients = 0;  // more that connect later (the stopped client, flooders)
  bool passRx = true;    // the relay's rule
  std::string stem;      // file names in the work directory: "veltor-20", "ncat-flood"
  std::string tag;       // progress lines: "N=20", "flood"
};

class PeerRun {
 public:
  explicit PeerRun(const Options& options) : options_(options) {}

  // Starts the peer and connects the source to it (the relay connects to the
  // source; the source joins ncat). False (and Fail) if either fails.
  bool Start(const PeerSetup& setup, const std::filesystem::path& work);

  PeerKind Kind() const { return result_.peer; }
  pid_t Pid() { return process_.Pid(); }
  const Result& Outcome() const { return result_; }
  // The other peers running beside this one, left out of the background load.
  void SetCompanions(std::vector<pid_t> pids) { companions_ = std::move(pids); }

  // The relay admits one client a second; connecting one at a time keeps the
  // listen backlog short and tells which connection each admission is for.
  bool Admit();

  // The fan-out's measurements.
  bool MeasureIdle();        // MeasureIdle.cpp: CPU and memory with no traffic
  bool MeasureConsole();     // MeasurePaced.cpp: latency and CPU per MB, 64 B x 50/s
  bool MeasureBusy();        // MeasurePaced.cpp: the same at 960 B x 50/s
  bool MeasureThroughput();  // MeasureThroughput.cpp: flat out
  bool MeasureStalled();     // MeasureStalled.cpp: one more client that never reads

  // The flood without pass-through (MeasureFlood.cpp).
  bool AdmitFlooders(int count);
  bool MeasureFlood(double seconds);

  // Peak memory, integrity counts and the peer's stop.
  void Finish();

 private:
  const char* Name() const { return PeerName(Kind()); }
  const char* Tag() const { return tag_.c_str(); }
  std::vector<pid_t> Excluded();
  // A client admitted by the peer; empty (and Fail) if not.
  testing::OwnedFd ConnectClient(int receiveBuffer = 0);
  bool SampleIdle(IdleFigures& idle);
  // Writes of `records` records at kWritesPerSecond for `seconds`, then waits
  // up to `drainLimit` for the last to arrive.
  bool Paced(size_t records, double seconds, Ns drainLimit, PacedFigures& paced);

  const Options& options_;
  std::string tag_;
  uint16_t listenPort_ = 0;
  Result result_;
  Source source_;
  PeerProcess process_;
  ClientSet clients_;
  testing::OwnedFd stalled_;
  std::vector<std::unique_ptr<Flooder>> flooders_;
  std::vector<pid_t> companions_;
};

}  // namespace veltor::bench
