// The scenarios: each starts every chosen peer at once, each with its own
// source and clients, and takes each measurement for one peer right after the
// other, so both meet the same machine. Each prints a peer's block as soon as
// that peer is done and appends its result.
//
// Both return false once the benchmark cannot go on (see Abort.h); the
// results gathered so far are kept.
#pragma once

#include <filesystem>
#include <vector>

#include "bench/Figures.h"
#include "bench/Options.h"

namespace veltor::bench {

// The fan-out for one client count: idle, console rate, busy, throughput,
// and last the stopped client.
bool RunCount(const Options& options, int count, const std::filesystem::path& work, std::vector<Result>& results);

// The flood: two clients send flat out, without pass-through, while one reads.
bool RunFlood(const Options& options, const std::filesystem::path& work, std::vector<Result>& floods);

}  // namespace veltor::bench
