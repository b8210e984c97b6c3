#include "bench/PeerRun.h"


#include "bench/Abort.h"
#include "bench/NcatPeer.h"
#include "bench/Progress.h"
#include "bench/RelayPeer.h"

namespace veltor::bench {

namespace {

constexpr Ns kPeerStartLimit = 10 * kSec;  // for the relay to reach the source, or the source to reach ncat
constexpr Ns kConnectLimit = 10 * kSec;
constexpr Ns kAdmitLimit = 5 * kSec;

}  // namespace

bool PeerRun::Start(const PeerSetup& setup, const std::filesystem::path& work) {
  result_.peer = setup.kind;
  result_.clients = setup.clients;
  tag_ = std::string(Name()) + " " + setup.tag;
  listenPort_ = testing::FindFreePort();
  if (listenPort_ == 0) return Fail("no free port on 127.0.0.1");
  const std::string stem = (work / setup.stem).string();
  const int room = setup.clients + setup.extraClients;
  if (setup.kind == PeerKind::kVeltor) {
    const uint16_t sourcePort = source_.Listen();
    if (sourcePort == 0) return false;
    const std::optional<Launch> launch = RelayLaunch(options_, stem, room, sourcePort, listenPort_, setup.passRx);
    return launch && process_.Start(*launch) && source_.AcceptRelay(NowNs() + kPeerStartLimit);
  }
  if (!process_.Start(NcatLaunch(options_, stem, room, listenPort_)) ||
      !source_.ConnectAsMember(listenPort_, NowNs() + kPeerStartLimit)) {
    return false;
  }
  return process_.WaitAdmitted(1, NowNs() + kAdmitLimit) || Fail("ncat did not take the source");
}

bool PeerRun::Admit() {
  const int count = result_.clients;
  const Ns start = NowNs();
  for (int i = 0; i < count; ++i) {
    testing::OwnedFd client = ConnectClient();
    if (client.get() < 0 || !clients_.Add(std::move(client))) return false;
    Progress("\r  %s: admitted %d/%d", Tag(), i + 1, count);
  }
  result_.admitSeconds = static_cast<double>(NowNs() - start) / kSec;
  Progress("  (%.1f s)\n", result_.admitSeconds);
  return true;
}

void PeerRun::Finish() {
  if (Pid() > 0) result_.peakRssKiB = StatusField(Pid(), "VmHWM");
  result_.recordErrors = clients_.Errors();
  result_.clientsLost = clients_.Closed();
  if (Kind() == PeerKind::kVeltor) result_.discLines = process_.Disconnected();
  for (const auto& flooder : flooders_) flooder->Stop();
  clients_.StopReading();
  result_.exit = process_.Stop();
  stalled_.Close();  // kept open until the peer has stopped, so it never saw the client go
}

std::vector<pid_t> PeerRun::Excluded() {
  std::vector<pid_t> pids = companions_;
  pids.push_back(Pid());
  return pids;
}

testing::OwnedFd PeerRun::ConnectClient(int receiveBuffer) {
  const int want = process_.Admitted() + 1;
  testing::OwnedFd fd = ConnectRetrying(listenPort_, NowNs() + kConnectLimit, receiveBuffer);
  if (fd.get() < 0) {
    Fail(std::string("could not connect to ") + Name());
    return fd;
  }
  if (!process_.WaitAdmitted(want, NowNs() + kAdmitLimit)) {
    Fail(std::string(Name()) + " did not admit a client");
    return testing::OwnedFd();
  }
  return fd;
}

}  // namespace veltor::bench
