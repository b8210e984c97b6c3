// The report on standard output: the machine, a block per peer and client
// count as each finishes, then the summary, the BENCH, COMPARE, TARGET and
// LOAD lines, and the Markdown table.
#pragma once

#include <vector>

#include "bench/Figures.h"
#include "bench/Options.h"

namespace veltor::bench {

void PrintMachine();
// "peers: veltor (PATH [relay options]) ncat (PATH)".
void PrintPeers(const Options& options);
// One peer's fan-out block.
void PrintResult(const Result& r);
// Everything after the blocks, for the fan-out results and the flood results.
void PrintSummary(const Options& options, const std::vector<Result>& results, const std::vector<Result>& floods);

}  // namespace veltor::bench
