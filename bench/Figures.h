// What one peer's run measured: plain values, filled in by the measurements
// (PeerRun) and read by the report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "bench/Latency.h"
#include "bench/ProcStats.h"

namespace veltor::bench {

enum class PeerKind { kVeltor, kNcat };

inline const char* PeerName(PeerKind kind) { return kind == PeerKind::kVeltor ? "veltor" : "ncat"; }

struct IdleFigures {
  CpuFigures cpu;
  int64_t rssKiB = 0;
  int64_t threads = 0;
  double load = 0;  // other processes, cores
};

// One paced run: a write every 20 ms, the first record of each a probe.
struct PacedFigures {
  size_t recordsPerWrite = 0;
  LatencyStats latency;
  CpuFigures cpu;
  uint64_t deliveredBytes = 0;  // received by all clients during the window
  double load = 0;
  bool delivered = true;        // every client got every byte by the end
  bool sourceBlocked = false;   // the peer stopped taking the source's writes
  // CPU milliseconds for each megabyte (10^6 bytes) delivered to the clients.
  double CpuMsPerMB() const {
    return deliveredBytes == 0 ? 0 : cpu.CpuSeconds() * 1000.0 / (static_cast<double>(deliveredBytes) / 1e6);
  }
};

// The healthy clients got nothing to measure.
inline bool Starved(const PacedFigures& paced) { return paced.sourceBlocked || paced.latency.samples == 0; }

struct StallFigures {
  bool measured = false;
  bool starved = false;    // the healthy clients stopped receiving while it did not read
  bool recovered = false;  // and got everything once it was gone
  uint64_t prefillBytes = 0;
  uint64_t deliveredBeforeStarving = 0;  // per healthy client, during the prefill
  int64_t queuedBefore = -1;  // the relay's status table, once the prefill stalled its worker
  int64_t queuedAfter = -1;   // and after the console-rate run
  int64_t receiveQueue = 0;   // bytes waiting in the stalled client's own socket
  IdleFigures idle;
  PacedFigures console;
};

// Clients that send as fast as they can while the relay admits them without
// pass-through (it reads and drops), and one client that reads the feed.
struct FloodFigures {
  bool measured = false;
  int flooders = 0;
  CpuFigures cpu;              // over the flood; ticksPercent (utime + stime) is the figure compared
  uint64_t floodedBytes = 0;   // what the peer took from the flooders, all together
  uint64_t echoedBytes = 0;    // what the flooders received meanwhile
  size_t floodersClosed = 0;   // flooders the peer hung up on
  int64_t rssKiB = 0;          // at the end of the flood
  PacedFigures reader;         // the reader's console-rate run during the flood
  double FloodedMBps() const {
    return cpu.seconds <= 0 ? 0 : static_cast<double>(floodedBytes) / 1e6 / cpu.seconds;
  }
};

struct Result {
  PeerKind peer = PeerKind::kVeltor;
  int clients = 0;  // healthy clients, read by the benchmark
  double admitSeconds = 0;
  IdleFigures idle;
  PacedFigures console;
  PacedFigures busy;
  double throughputMinKBps = 0;
  double throughputMeanKBps = 0;
  double throughputWindowSeconds = 0;
  double throughputLoad = 0;
  bool throughputStarved = false;
  StallFigures stall;
  FloodFigures flood;
  int64_t peakRssKiB = 0;
  uint64_t recordErrors = 0;
  size_t clientsLost = 0;
  int discLines = -1;  // -1: the peer reports no disconnections
  bool undelivered = false;
  std::string exit;
};

}  // namespace veltor::bench
