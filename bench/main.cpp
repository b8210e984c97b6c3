// veltor-fanout-bench: measures how the relay fans one server stream out to
// many clients, side by side with a peer that does the same job, so that every
// figure can be read as a ratio taken on the same machine at the same time.
//
// The peer is `ncat --broker` (NcatPeer.h). This process plays every end: the
// source on 127.0.0.1 (Source.h) and, per peer, N clients read by one epoll
// thread (ClientSet.h). Every byte the source sends belongs to a 64-byte
// record (Records.h); clients check the sequence and compute each probe's
// delivery latency on arrival.
//
// Per client count both peers run at once, each with its own source and
// clients, and each measurement is taken for one peer right after the other:
//   idle        CPU and memory with no traffic
//   console     64-byte probes, 50 a second: latency p50/p99/max, CPU per MB
//   busy        960-byte writes, 50 a second (48 kB/s a client): CPU per MB
//   throughput  the source writes as fast as the peer takes: bytes/s per client
//   stalled     one more client that never reads (tiny receive buffer): CPU
//               idle and at console rate, and the healthy clients' latency
// Then the flood (MeasureFlood.cpp): two clients send flat out, admitted
// without pass-through, while one reads at console rate: the peer's CPU and
// the reader's latency.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bench/Abort.h"
#include "bench/Options.h"
#include "bench/Report.h"
#include "bench/Run.h"

int main(int argc, char** argv) {
  using namespace veltor::bench;
  Options options;
  if (const std::optional<std::string> error = ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "veltor-fanout-bench: %s\n", error->c_str());
    return Usage();
  }
  CatchInterrupts();

  char workTemplate[] = "/tmp/veltor-bench-XXXXXX";
  if (::mkdtemp(workTemplate) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path work(workTemplate);

  PrintMachine();
  PrintPeers(options);
  std::vector<Result> results;
  std::vector<Result> floods;
  bool going = true;
  if (options.fanout) {
    for (size_t i = 0; going && i < options.counts.size(); ++i) going = RunCount(options, options.counts[i], work, results);
  }
  if (going && options.RunsFlood()) going = RunFlood(options, work, floods);
  int status = 0;
  if (!going) {
    std::fprintf(stderr, "\nveltor-fanout-bench: %s (peer logs kept in %s)\n", AbortReason().c_str(), work.c_str());
    options.keepFiles = true;
    status = 1;
  }
  if (!results.empty() || !floods.empty()) PrintSummary(options, results, floods);

  if (!options.keepFiles) {
    std::error_code ignored;
    std::filesystem::remove_all(work, ignored);
  }
  return status;
}
