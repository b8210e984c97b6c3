// The control socket's metrics answer: the relay's figures in the Prometheus
// text exposition format (version 0.0.4), every name prefixed veltor_.
#pragma once

#include <string>

#include "console/RelayFacts.h"

namespace veltor {

// Each metric with its # HELP and # TYPE lines, in a fixed order; admissions
// as one counter with a verdict label (accepted, max_conns, rule, no_rule,
// dupe, dupe_timing_out).
std::string MetricsText(const RelayFacts& relay, const RelayCounters& counters);

}  // namespace veltor
