// The flood's part of the report: a block per peer, its BENCH lines, its rows
// in the side-by-side table and a closing note. Its lines carry the number of
// clients the peer had: the flooders and the reader.
#pragma once

#include <vector>

#include "bench/Comparison.h"
#include "bench/Figures.h"

namespace veltor::bench {

void PrintFloodResult(const Result& r);
void PrintFloodMetrics(const Result& r);
void AddFloodRows(ComparisonTable& table, const std::vector<Result>& floods);
void PrintFloodNote();

}  // namespace veltor::bench
