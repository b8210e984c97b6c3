// The report's building blocks that the fan-out and the flood share: the rows
// of a peer's block and the machine-readable BENCH lines.
#pragma once

#include <string>

#include "bench/Figures.h"

namespace veltor::bench {

// "  label   p50 p99 max samples/expected", marked when starved or undelivered.
void PrintLatencyRow(const char* label, const PacedFigures& paced);
// "  label   x % (ticks y %); main thread ..., others ...".
void PrintCpuRow(const char* label, const CpuFigures& cpu);

// BENCH peer=P clients=N metric=NAME value=V unit=U, for one peer and client count.
class MetricLines {
 public:
  MetricLines(PeerKind peer, int clients) : peer_(peer), clients_(clients) {}

  void Metric(const std::string& name, double value, const char* unit) const;
  // A paced run's figures, each name starting with `prefix`.
  void Paced(const std::string& prefix, const PacedFigures& paced) const;
  // An idle sample's figures, each name starting with `prefix`.
  void Idle(const std::string& prefix, const IdleFigures& idle) const;

 private:
  PeerKind peer_;
  int clients_;
};

}  // namespace veltor::bench
