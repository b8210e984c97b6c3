// The side-by-side table: each figure of the relay next to ncat's from the
// same run, their ratio where one means something, and the relay's targets.
// Printed as COMPARE and TARGET lines and as a Markdown table.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench/Figures.h"

namespace veltor::bench {

// One figure of one peer: a value, a note saying why there is none, or both.
struct Cell {
  std::optional<double> value;
  std::string note;
};

struct Comparison {
  std::string metric;  // machine-readable name
  std::string figure;  // for the table
  int clients = 0;
  std::string unit;
  int decimals = 2;
  bool ratioMeaningful = true;
  // Below this, ncat's figure is within the reading's resolution of zero and a
  // ratio over it would be noise (ncat's idle CPU is zero, its RSS barely moves).
  double ratioFloor = 0;
  Cell veltor;
  Cell ncat;
  std::string target;  // empty: no target set
  std::optional<bool> met;
};

using CellOf = std::function<Cell(const Result&)>;

class ComparisonTable {
 public:
  explicit ComparisonTable(const std::vector<Result>& results) : results_(results) {}

  // A row from the results of both peers for `clients`; none when neither ran.
  void Add(const std::string& metric, const std::string& figure, int clients, const std::string& unit, int decimals,
           bool ratioMeaningful, const CellOf& of, double ratioFloor = 0);
  // A row whose cells were made by the caller.
  void AddRow(Comparison row) { rows_.push_back(std::move(row)); }

  // Marks the last row added with a target and, where both figures exist, whether it is met.
  void Target(const std::string& target, const std::function<std::optional<bool>(const Comparison&)>& judge);

  void PrintPlain() const;
  void PrintMarkdown() const;

 private:
  const Result* Find(PeerKind peer, int clients) const;

  const std::vector<Result>& results_;
  std::vector<Comparison> rows_;
};

// A latency cell says so when the healthy clients got nothing to measure.
Cell LatencyCell(const PacedFigures& paced, double LatencyStats::*figure);

// Whether the relay's figure is at most `limit`; nothing without a figure.
std::optional<bool> AtMost(const Comparison& row, double limit);

// The fan-out rows with the owner's targets for the relay, judged against the
// same run's ncat figures where relative.
ComparisonTable BuildComparison(const std::vector<Result>& results, const std::vector<int>& counts,
                                const std::map<std::pair<PeerKind, int>, double>& perClientKiB);

}  // namespace veltor::bench
