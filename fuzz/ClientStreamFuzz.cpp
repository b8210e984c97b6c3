// Fuzz target: the live relay phases (admission, the server pump, the client
// pass and the sweep) on real loopback sockets, driven by a script of client
// and server actions taken from the input.
//
// The harness plays every peer itself: an upstream server that the relay
// connects to, and up to eight downstream clients. After each read it checks
// what a client received against what the relay promises:
//   - a denied client receives nothing and is closed;
//   - an admitted client receives its greeting frames, whole and in order,
//     then a contiguous, in-order slice of what the server sent, starting no
//     later than the server's position at its admission;
//   - a client is ended by the relay only by its time limit (or when denied).
// At the end of each input it lets the relay settle and checks that every
// admitted client got everything the server sent after its admission (or, when
// its time limit ran out, its whole greeting and then the end of the stream),
// that nothing reached the server from a client without pass-through, and that
// no descriptor outlived the input.
//
// Input layout:
//   byte 0  bits 0-2 rule set, bit 3 PassRx, bit 4 DupeOK, bits 5-6 time limit
//   byte 1  bits 0-2 client maximum, bits 3-5 number of MOD texts
//   per MOD text: one header byte (bits 0-6 length, bit 7 length x 516, cut to
//           the largest text that fits a frame), then up to 64 content bytes,
//           repeated to the length
//   then operations, one byte each (low nibble: what, high nibble: argument),
//   some followed by a length byte and data.
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "StreamOracle.h"
#include "clients/Admission.h"
#include "clients/ClientTable.h"
#include "clients/RelayPasses.h"
#include "base/Constants.h"
#include "base/Settings.h"
#include "net/Resolver.h"
#include "net/ServerLink.h"
#include "tests/support/Loopback.h"

namespace {

using namespace veltor::fuzz;
using namespace veltor::testing;
using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kMaxOperations = 64;
constexpr size_t kMaxClients = 8;
constexpr size_t kMaxServerBytes = 8192;
constexpr size_t kMaxClientBytes = 8192;
constexpr size_t kModContentBytes = 64;
constexpr milliseconds kConnectWait{1000};
constexpr milliseconds kReadWait{2};
// Everything the relay owes the clients arrives within milliseconds on
// loopback; the margin covers a loaded machine under the sanitizers.
constexpr int kSettleLimitMs = 3000;

// Every client is 127.0.0.1 with no name: no name service is asked.
class NoNames final : public veltor::Resolver {
 public:
  uint32_t HostAddress(const std::string&) override { return 0xFFFFFFFFu; }
  std::string PeerName(uint32_t) override { return {}; }
};

class Script {
 public:
  Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Done() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::vector<uint8_t> Take(size_t count) {
    count = std::min(count, size_ - at_);
    std::vector<uint8_t> bytes(data_ + at_, data_ + at_ + count);
    at_ += count;
    return bytes;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// ---- one run -----------------------------------------------------------------

class Run {
 public:
  ~Run() {
    {
      QuietStderr quiet;
      table_.TearDown();
      link_.serverSocket.reset();
      link_.listenSocket.reset();
    }
    for (Client& client : clients_) {
      if (client.fd >= 0) ResetAndClose(client.fd);
    }
    if (upstream_ >= 0) ::close(upstream_);
    if (upstreamListener_ >= 0) ::close(upstreamListener_);
  }

  bool SetUp(Script& script) {
    const uint8_t policy = script.Byte();
    const uint8_t limits = script.Byte();
    upstreamListener_ = OpenLoopbackListener(0, 4, settings_.serverPort);
    if (upstreamListener_ < 0) return false;
    settings_.serverHost = "127.0.0.1";
    settings_.listenPort = FindFreePort();
    if (settings_.serverPort == 0 || settings_.listenPort == 0) return false;

    static constexpr int32_t kMaxima[8] = {1, 2, 3, 4, 8, -1, 2, 3};
    settings_.maxClients = kMaxima[limits & 7];
    static constexpr int32_t kTimeLimits[4] = {0, -1, 1, INT32_MAX};
    veltor::MaskRule chosen;
    chosen.allow = true;
    chosen.passRx = (policy & 0x08) != 0;
    chosen.dupeOK = (policy & 0x10) != 0;
    chosen.timeLimit = kTimeLimits[(policy >> 5) & 3];
    veltor::MaskRule opposite = chosen;
    opposite.passRx = !chosen.passRx;
    opposite.dupeOK = !chosen.dupeOK;
    auto rule = [](veltor::MaskRule base, bool allow, uint32_t address, uint32_t mask) {
      base.allow = allow;
      base.address = address;
      base.mask = mask;
      return base;
    };
    const uint32_t host = kLoopbackAddress, all = 0xFFFFFFFFu, net8 = 0xFF000000u, ten = 0x0A000000u;
    std::vector<veltor::MaskRule>& rules = settings_.rules;
    switch (policy & 7) {
      case 0: rules = {rule(chosen, true, 0, 0)}; break;
      case 1: rules = {rule(chosen, true, host, all)}; break;
      case 2: rules = {rule(chosen, false, host, all), rule(chosen, true, 0, 0)}; break;
      case 3: rules = {rule(chosen, true, ten, net8)}; break;
      case 4: rules = {rule(opposite, true, ten, net8), rule(chosen, true, 0x7F000000u, net8)}; break;
      case 5: rules = {rule(chosen, true, host, all), rule(chosen, false, 0, 0)}; break;
      case 6: rules = {rule(chosen, false, ten, net8), rule(chosen, true, host, all), rule(opposite, true, 0, 0)}; break;
      default: rules = {rule(chosen, true, 0, 0), rule(opposite, true, 0, 0)}; break;
    }

    const int modCount = (limits >> 3) & 7;
    for (int i = 0; i < modCount; ++i) {
      const uint8_t header = script.Byte();
      size_t length = header & 0x7F;
      if ((header & 0x80) != 0) length = std::min<size_t>(length * 516, veltor::kModTextMaxBytes);
      std::vector<uint8_t> content = script.Take(std::min(length, kModContentBytes));
      if (content.empty()) content.push_back('.');
      std::string text;
      text.reserve(length);
      while (text.size() < length) text.push_back(static_cast<char>(content[text.size() % content.size()]));
      settings_.modTexts.push_back(std::move(text));
      greeting_.texts.push_back(settings_.modTexts.back());
    }

    Upkeep();
    return link_.listenSocket != nullptr;
  }

  void Execute(Script& script) {
    for (size_t done = 0; done < kMaxOperations && !script.Done(); ++done) {
      const uint8_t operation = script.Byte();
      const unsigned argument = operation >> 4;
      Trace("op %zu: kind %d arg %u (server %zu bytes, %zu clients, table %d)\n", done, operation & 0x0F, argument,
            serverOutput_.bytes.size(), clients_.size(), table_.Count());
      switch (operation & 0x0F) {
        case 0:
        case 1:
          ConnectClient();
          break;
        case 2:
        case 3: {
          const std::vector<uint8_t> bytes = script.Take(script.Byte());
          if (Client* client = Pick(argument)) ClientSends(*client, bytes);
          break;
        }
        case 4:
          if (Client* client = Pick(argument)) CloseClient(*client, false);
          break;
        case 5:
          if (Client* client = Pick(argument)) CloseClient(*client, true);
          break;
        case 6:
        case 7:
          ServerSends((static_cast<size_t>(script.Byte()) + 1) * (argument + 1));
          break;
        case 8:
          ServerCloses();
          break;
        case 9:
          ServerResets();
          break;
        case 10:
          Upkeep();
          break;
        case 11:
        case 12:
        case 13:
          for (unsigned i = 0; i <= argument % 4; ++i) Pass(1);
          break;
        default:
          if (Client* client = Pick(argument)) Read(*client, kReadWait);
          break;
      }
    }
  }

  // Lets the relay deliver what it owes and checks that it did.
  void Settle() {
    Trace("settle: server %zu bytes in %zu connections, %zu clients\n", serverOutput_.bytes.size(),
          serverOutput_.segments.size(), clients_.size());
    const SteadyClock::time_point started = SteadyClock::now();
    const SteadyClock::time_point deadline = SteadyClock::now() + std::chrono::milliseconds(kSettleLimitMs);
    while (true) {
      Pass(20);
      for (Client& client : clients_) {
        if (!client.closedByUs && !client.ended) Read(client, milliseconds(1));
      }
      const bool pumped = !ServerHasData();
      bool settled = pumped;
      for (const Client& client : clients_) settled = settled && Settled(serverOutput_, greeting_, client);
      if (settled) break;
      if (SteadyClock::now() > deadline) {
        for (size_t i = 0; i < clients_.size(); ++i) {
          const Client& client = clients_[i];
          Trace("client %zu: policy %d closed %d ended %d received %zu started %d candidates %zu settled %d\n", i,
                static_cast<int>(client.policy), client.closedByUs, client.ended, client.received.size(),
                client.dataStarted, client.candidates.size(), Settled(serverOutput_, greeting_, client));
        }
        // Name what is missing before failing, for whoever reads the report.
        for (const Client& client : clients_) FUZZ_CHECK(Settled(serverOutput_, greeting_, client) || !"client owed data never got it");
        FUZZ_CHECK(pumped || !"server data left unread by the relay");
      }
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - started);
    Trace("settled after %lld ms\n", static_cast<long long>(elapsed.count()));
    CheckUpstream(clients_, upstreamReceived_, true);
  }

 private:
  Client* Pick(unsigned argument) {
    if (clients_.empty()) return nullptr;
    Client& client = clients_[argument % clients_.size()];
    return client.closedByUs ? nullptr : &client;
  }

  // The relay loop's once-a-second block, minus admission (connects admit).
  void Upkeep() {
    const bool hadServer = link_.serverSocket != nullptr;
    {
      QuietStderr quiet;
      veltor::EnsureServerSocket(link_, settings_, resolver_);
      // A loaded machine may need more than the block's own short wait.
      const SteadyClock::time_point deadline = SteadyClock::now() + kConnectWait;
      while (link_.connecting && SteadyClock::now() < deadline) veltor::AdvanceServerConnect(link_, settings_, 1);
      veltor::EnsureListenSocket(link_, settings_);
    }
    if (hadServer || !link_.serverSocket) return;
    // The relay has a new connection: it is the server's from now on.
    FUZZ_CHECK(Readable(upstreamListener_, kConnectWait));
    const int accepted = ::accept4(upstreamListener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    FUZZ_CHECK(accepted >= 0);
    if (upstream_ >= 0) {
      // The relay let go of the old connection before making this one.
      DrainUpstream();
      ::close(upstream_);
    }
    upstream_ = accepted;
    upstreamShut_ = false;
    serverOutput_.segments.push_back(Segment{serverOutput_.bytes.size(), 0, false});
  }

  void ConnectClient() {
    if (clients_.size() >= kMaxClients || !link_.listenSocket) return;
    const int fd = ConnectLoopback(settings_.listenPort, kConnectWait);
    if (fd < 0) return;
    Client client;
    client.fd = fd;
    const int count = table_.Count();
    client.policy = ExpectedPolicy(settings_, count, client.passRx);
    client.serverPositionAtAdmission = serverOutput_.bytes.size();
    // Admission takes only a connection already pending; make sure it is.
    FUZZ_CHECK(Readable(link_.listenSocket->Handle(), kConnectWait));
    {
      QuietStderr quiet;
      admission_.AcceptPendingClient(link_, table_);
      // A name that took longer than the block's wait is judged by the next
      // call; with none waiting, that call finds no connection and does nothing.
      admission_.AcceptPendingClient(link_, table_);
    }
    const bool admitted = client.policy != Policy::Denied;
    FUZZ_CHECK(table_.Count() == count + (admitted ? 1 : 0));
    if (admitted) {
      const veltor::ClientConnection& record = *table_.All().back();
      FUZZ_CHECK(record.address == kLoopbackAddress);
      FUZZ_CHECK(record.passRx == client.passRx);
    }
    clients_.push_back(std::move(client));
  }

  void ClientSends(Client& client, const std::vector<uint8_t>& bytes) {
    const size_t room = kMaxClientBytes - std::min(kMaxClientBytes, client.sent.size());
    const size_t sent = SendSome(client.fd, bytes.data(), std::min(room, bytes.size()));
    client.sent.insert(client.sent.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(sent));
  }

  void CloseClient(Client& client, bool reset) {
    if (reset) {
      ResetAndClose(client.fd);
    } else {
      ::close(client.fd);
    }
    client.fd = -1;
    client.closedByUs = true;
  }

  void ServerSends(size_t count) {
    if (upstream_ < 0 || upstreamShut_) return;
    count = std::min(count, kMaxServerBytes - std::min(kMaxServerBytes, serverOutput_.bytes.size()));
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = ServerByte(serverOutput_.bytes.size() + i);
    const size_t sent = SendSome(upstream_, bytes.data(), bytes.size());
    serverOutput_.bytes.insert(serverOutput_.bytes.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(sent));
    serverOutput_.segments.back().length += sent;
  }

  // An orderly end: the relay reads to the end of the stream before it
  // notices, so nothing the server sent is lost.
  void ServerCloses() {
    if (upstream_ < 0 || upstreamShut_) return;
    ::shutdown(upstream_, SHUT_WR);
    upstreamShut_ = true;
  }

  void ServerResets() {
    if (upstream_ < 0) return;
    DrainUpstream();
    ResetAndClose(upstream_);
    upstream_ = -1;
    serverOutput_.segments.back().mayBeCut = true;
  }

  // One relay pass; the server pump runs only when the server has sent
  // something, since idle it would wait out its full receive time.
  void Pass(int pumpLimit) {
    {
      QuietStderr quiet;
      table_.Sweep();
    }
    for (int i = 0; i < pumpLimit && ServerHasData(); ++i) {
      QuietStderr quiet;
      veltor::ServerPump(link_, table_);
    }
    {
      QuietStderr quiet;
      veltor::ClientPass(link_, table_);
    }
    DrainUpstream();
  }

  // The relay's server connection holds data not yet handed on: in its
  // buffer, or still on its way from the server's end (sent, not yet taken
  // in by the relay's side, whose reader reads whatever arrives at once).
  bool ServerHasData() {
    if (!link_.serverSocket || link_.serverSocket->Finished()) return false;
    int unacknowledged = 0;
    const bool inFlight = upstream_ >= 0 && ::ioctl(upstream_, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0;
    return link_.serverSocket->BufferedBytes() > 0 || inFlight;
  }

  void DrainUpstream() {
    if (upstream_ < 0) return;
    uint8_t buffer[4096];
    while (true) {
      const ssize_t got = ::recv(upstream_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got <= 0) break;
      upstreamReceived_.insert(upstreamReceived_.end(), buffer, buffer + got);
    }
    CheckUpstream(clients_, upstreamReceived_, false);
  }

  void Read(Client& client, milliseconds wait) {
    if (client.closedByUs || client.ended) return;
    Readable(client.fd, wait);
    uint8_t buffer[8192];
    while (true) {
      const ssize_t got = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got > 0) {
        client.received.insert(client.received.end(), buffer, buffer + got);
        continue;
      }
      if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        client.ended = true;
        Trace("client fd %d ended (%s) after %zu bytes\n", client.fd, got == 0 ? "end of stream" : std::strerror(errno),
              client.received.size());
      }
      break;
    }
    CheckReceived(serverOutput_, greeting_, client);
  }

  veltor::RelaySettings settings_;
  NoNames resolver_;
  veltor::Admission admission_{settings_, resolver_};
  veltor::ServerLink link_;
  veltor::ClientTable table_;
  Greeting greeting_;
  ServerOutput serverOutput_;
  std::vector<Client> clients_;
  int upstreamListener_ = -1;
  int upstream_ = -1;  // the server's end of the relay's current connection
  bool upstreamShut_ = false;
  std::vector<uint8_t> upstreamReceived_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  veltor::fuzz::PrepareOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int descriptorsBefore = OpenDescriptors();
  {
    Script script(data, size);
    Run run;
    if (!run.SetUp(script)) return 0;  // no free port right now: not the relay's fault
    run.Execute(script);
    run.Settle();
  }
  FUZZ_CHECK(OpenDescriptors() == descriptorsBefore || !"a descriptor outlived its input");
  return 0;
}
