// The flood: clients that send as fast as they can, admitted without
// pass-through so the relay reads and drops what they send, while one client
// reads the feed at console rate. ncat has no such rule: it sends each
// flooder's bytes on to every other member, the reader and the source
// included, so its figures stand beside the relay's rather than against them.
#include "bench/Abort.h"
#include "bench/Paced.h"
#include "bench/PeerRun.h"
#include "bench/Progress.h"

namespace veltor::bench {

namespace {

// Past the flood's end, flooders that have not been stopped stop by themselves.
constexpr Ns kFloodOverrun = kDrainLimit + 30 * kSec;

}  // namespace

bool PeerRun::AdmitFlooders(int count) {
  for (int i = 0; i < count; ++i) {
    testing::OwnedFd fd = ConnectClient();
    if (fd.get() < 0) return false;
    flooders_.push_back(std::make_unique<Flooder>(std::move(fd)));
    Progress("\r  %s: admitted %d/%d flooders", Tag(), i + 1, count);
  }
  Progress("\n");
  return true;
}

bool PeerRun::MeasureFlood(double seconds) {
  FloodFigures& flood = result_.flood;
  flood.measured = true;
  flood.flooders = static_cast<int>(flooders_.size());
  Progress("  %s: %d clients send for %.0f s, %d reads\n", Tag(), flood.flooders, seconds, result_.clients);
  auto taken = [this] {
    uint64_t sent = 0;
    for (const auto& flooder : flooders_) sent += flooder->Sent();
    return sent;
  };
  auto echoed = [this] {
    uint64_t received = 0;
    for (const auto& flooder : flooders_) received += flooder->Received();
    return received;
  };
  for (const auto& flooder : flooders_) flooder->Start(NowNs() + Seconds(seconds) + kFloodOverrun);
  const std::optional<CpuMeter> meter = CpuMeter::Start(Pid());
  const uint64_t takenBefore = taken();
  const uint64_t echoedBefore = echoed();
  const bool paced = meter && Paced(kConsoleRecordsPerWrite, seconds, kDrainLimit, flood.reader);
  const std::optional<CpuFigures> cpu = paced ? meter->Read() : std::nullopt;
  flood.floodedBytes = taken() - takenBefore;
  flood.rssKiB = StatusField(Pid(), "VmRSS");
  flood.echoedBytes = echoed() - echoedBefore;
  for (const auto& flooder : flooders_) {
    flooder->Stop();
    if (flooder->Closed()) ++flood.floodersClosed;
  }
  if (!cpu) return false;
  flood.cpu = *cpu;
  if (!flood.reader.delivered) result_.undelivered = true;
  return !Aborted();
}

}  // namespace veltor::bench
