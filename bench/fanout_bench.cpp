// veltor-fanout-bench: measures how the relay fans one server stream out to
// many clients, side by side with a peer that does the same job, so that every
// figure can be read as a ratio taken on the same machine at the same time.
//
// The peer is `ncat --broker`. It has no upstream: it listens, and everything
// one member writes goes to every other member. The benchmark's source joins it
// as a member and writes; the clients join as members and only read, so each of
// them gets the whole stream (a member never gets its own data back, and only
// the source writes). The relay, in contrast, connects to the source itself.
//
// This process plays every end: the source on 127.0.0.1 and, per peer, N clients
// read by one epoll thread, so the benchmark stays cheap next to what it
// measures. Every byte the source sends belongs to a 64-byte record carrying a
// sequence number and the CLOCK_MONOTONIC time at which it was handed to
// send(); clients check the sequence and compute each probe's delivery latency
// on arrival.
//
// Per client count both peers run at once, each with its own source and
// clients, and each measurement is taken for one peer right after the other:
//   idle        CPU and memory with no traffic
//   console     64-byte probes, 50 a second: latency p50/p99/max, CPU per MB
//   busy        960-byte writes, 50 a second (48 kB/s a client): CPU per MB
//   throughput  the source writes as fast as the peer takes: bytes/s per client
//   stalled     one more client that never reads (tiny receive buffer): CPU
//               idle and at console rate, and the healthy clients' latency
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Ns = int64_t;
constexpr Ns kUs = 1'000;
constexpr Ns kMs = 1'000'000;
constexpr Ns kSec = 1'000'000'000;

constexpr size_t kRecordBytes = 64;
constexpr uint8_t kMagic[4] = {'V', 'B', 'R', '1'};
constexpr uint8_t kProbe = 1;
constexpr uint8_t kFiller = 2;

// Paced runs: one write every 20 ms, its first record a timestamped probe.
constexpr int kWritesPerSecond = 50;
constexpr size_t kConsoleRecordsPerWrite = 1;  // 64 B a write: the console rate
// 960 B a write (48 kB/s a client): busy, yet one write still fits the relay's
// 1000-byte chunk, so both peers carry it without falling behind.
constexpr size_t kBusyRecordsPerWrite = 15;

constexpr size_t kFloodAheadBytes = 128 * 1024;  // source stays this far ahead of the slowest client
constexpr uint64_t kStallPrefillStepBytes = 128 * 1024;
constexpr uint64_t kStallPrefillLimitBytes = 16 * 1024 * 1024;
constexpr Ns kSettleTime = 2 * kSec;       // quiet time after admission before idle sampling
constexpr Ns kStarvedAfter = 3 * kSec;     // healthy clients getting nothing this long: the peer has stopped
constexpr Ns kSourceSendLimit = 2 * kSec;  // a paced write the peer does not take in this time is not sent
constexpr Ns kDrainLimit = 10 * kSec;      // after a paced run, for the last write to reach every client
constexpr Ns kBacklogDrainLimit = 30 * kSec;  // after a flood, or once a stalled peer is freed

volatile sig_atomic_t gInterrupted = 0;
void OnInterrupt(int) { gInterrupted = 1; }

Ns NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Ns>(now.tv_sec) * kSec + now.tv_nsec;
}

Ns Seconds(double seconds) { return static_cast<Ns>(seconds * static_cast<double>(kSec)); }

void CheckInterrupted() {
  if (gInterrupted != 0) throw std::runtime_error("interrupted");
}

void SleepUntil(Ns when) {
  timespec target{static_cast<time_t>(when / kSec), static_cast<long>(when % kSec)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr) == EINTR) CheckInterrupted();
}

// Sleeps in short steps so an interrupt ends long waits promptly.
void SleepFor(Ns duration) {
  const Ns end = NowNs() + duration;
  for (Ns now = NowNs(); now < end; now = NowNs()) {
    CheckInterrupted();
    SleepUntil(std::min(end, now + 100 * kMs));
  }
}

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Progress(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fflush(stderr);
}

// Owns one descriptor; closing happens here and nowhere else.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

uint16_t LocalPort(int fd) {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    throw std::runtime_error(Errno("getsockname"));
  }
  return ntohs(bound.sin_port);
}

// A listening socket on 127.0.0.1 with a port the kernel picked.
Fd ListenOnLoopback() {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) throw std::runtime_error(Errno("socket"));
  const sockaddr_in address = Loopback(0);
  if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error(Errno("bind"));
  }
  if (::listen(fd.Get(), 4) != 0) throw std::runtime_error(Errno("listen"));
  return fd;
}

// Both peers bind their listen port themselves, so each is handed one that was
// free a moment ago: bound to port 0 here, read back, released.
uint16_t FreeLoopbackPort() {
  Fd probe = ListenOnLoopback();
  return LocalPort(probe.Get());
}

// Connects to 127.0.0.1:port within the deadline; an empty Fd if refused.
// A receive buffer size, when given, is set before the handshake so the window
// the peer sees is small from the start.
Fd ConnectLoopback(uint16_t port, Ns deadline, std::optional<int> receiveBuffer = std::nullopt) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.Valid()) throw std::runtime_error(Errno("socket"));
  if (receiveBuffer) {
    const int size = *receiveBuffer;
    if (::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
      throw std::runtime_error(Errno("setsockopt(SO_RCVBUF)"));
    }
  }
  const sockaddr_in address = Loopback(port);
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
  if (errno == ECONNREFUSED) return Fd();
  if (errno != EINPROGRESS) throw std::runtime_error(Errno("connect"));
  pollfd entry{fd.Get(), POLLOUT, 0};
  const int waitMs = static_cast<int>(std::max<Ns>(1, (deadline - NowNs()) / kMs));
  if (::poll(&entry, 1, waitMs) <= 0) return Fd();
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return Fd();
  return fd;
}

// Keeps trying until the port takes the connection or the deadline passes: a
// peer just started may not be listening yet.
Fd ConnectLoopbackRetrying(uint16_t port, Ns deadline, std::optional<int> receiveBuffer = std::nullopt) {
  for (;;) {
    CheckInterrupted();
    Fd fd = ConnectLoopback(port, deadline, receiveBuffer);
    if (fd.Valid() || NowNs() >= deadline) return fd;
    SleepUntil(NowNs() + 50 * kMs);
  }
}

Fd AcceptWithin(int listenFd, Ns deadline) {
  while (NowNs() < deadline) {
    CheckInterrupted();
    pollfd entry{listenFd, POLLIN, 0};
    if (::poll(&entry, 1, 100) > 0) {
      Fd accepted(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (accepted.Valid()) return accepted;
    }
  }
  return Fd();
}

// ---------------------------------------------------------------- records

void PutU64(uint8_t* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetU64(const uint8_t* in) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
  return value;
}

void BuildRecord(uint8_t* out, uint8_t kind, uint64_t sequence, Ns sentAt) {
  std::memcpy(out, kMagic, sizeof kMagic);
  out[4] = kind;
  out[5] = out[6] = out[7] = 0;
  PutU64(out + 8, sequence);
  PutU64(out + 16, static_cast<uint64_t>(sentAt));
  for (size_t i = 24; i < kRecordBytes; ++i) out[i] = static_cast<uint8_t>(sequence + i);
}

// ---------------------------------------------------------------- clients

struct Client {
  Fd fd;
  std::atomic<uint64_t> received{0};  // bytes
  std::atomic<uint64_t> errors{0};    // bad records and sequence gaps
  std::atomic<bool> closed{false};
  // Touched by the reader thread only.
  uint8_t partial[kRecordBytes] = {};
  size_t partialLength = 0;
  bool sequenceKnown = false;
  uint64_t nextSequence = 0;
};

// All healthy clients of one peer, read by one epoll thread.
class ClientSet {
 public:
  ClientSet() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (!epoll_.Valid()) throw std::runtime_error(Errno("epoll_create1"));
    reader_ = std::thread([this] { ReadLoop(); });
  }
  ~ClientSet() { StopReading(); }
  ClientSet(const ClientSet&) = delete;
  ClientSet& operator=(const ClientSet&) = delete;

  void Add(Fd fd) {
    auto client = std::make_unique<Client>();
    client->fd = std::move(fd);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.ptr = client.get();
    if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, client->fd.Get(), &event) != 0) {
      throw std::runtime_error(Errno("epoll_ctl"));
    }
    clients_.push_back(std::move(client));  // only this (controlling) thread changes the list
  }

  size_t Size() const { return clients_.size(); }

  uint64_t MinReceived() const {
    uint64_t least = UINT64_MAX;
    for (const auto& client : clients_) least = std::min(least, client->received.load());
    return clients_.empty() ? 0 : least;
  }

  // Bytes received by all clients together: what the peer delivered.
  uint64_t TotalReceived() const {
    uint64_t total = 0;
    for (const auto& client : clients_) total += client->received.load();
    return total;
  }

  std::vector<uint64_t> Received() const {
    std::vector<uint64_t> counts;
    for (const auto& client : clients_) counts.push_back(client->received.load());
    return counts;
  }

  uint64_t Errors() const {
    uint64_t total = 0;
    for (const auto& client : clients_) total += client->errors.load();
    return total;
  }

  size_t Closed() const {
    return static_cast<size_t>(
        std::count_if(clients_.begin(), clients_.end(), [](const auto& client) { return client->closed.load(); }));
  }

  void StartRecording() {
    std::lock_guard<std::mutex> guard(samplesLock_);
    samples_.clear();
    recording_ = true;
  }

  std::vector<Ns> StopRecording() {
    std::lock_guard<std::mutex> guard(samplesLock_);
    recording_ = false;
    return std::move(samples_);
  }

  void StopReading() {
    stop_.store(true);
    if (reader_.joinable()) reader_.join();
  }

 private:
  void ReadLoop() {
    std::vector<uint8_t> buffer(64 * 1024);
    epoll_event events[128];
    while (!stop_.load()) {
      const int ready = ::epoll_wait(epoll_.Get(), events, 128, 50);
      for (int i = 0; i < ready; ++i) Drain(*static_cast<Client*>(events[i].data.ptr), buffer);
    }
  }

  void Drain(Client& client, std::vector<uint8_t>& buffer) {
    for (;;) {
      const ssize_t got = ::recv(client.fd.Get(), buffer.data(), buffer.size(), 0);
      if (got > 0) {
        Consume(client, buffer.data(), static_cast<size_t>(got), NowNs());
        if (static_cast<size_t>(got) < buffer.size()) return;
        continue;
      }
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      client.closed.store(true);
      ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, client.fd.Get(), nullptr);
      return;
    }
  }

  void Consume(Client& client, const uint8_t* bytes, size_t length, Ns arrivedAt) {
    client.received.fetch_add(length);
    while (length > 0) {
      const size_t take = std::min(length, kRecordBytes - client.partialLength);
      std::memcpy(client.partial + client.partialLength, bytes, take);
      client.partialLength += take;
      bytes += take;
      length -= take;
      if (client.partialLength == kRecordBytes) {
        client.partialLength = 0;
        Check(client, client.partial, arrivedAt);
      }
    }
  }

  void Check(Client& client, const uint8_t* record, Ns arrivedAt) {
    if (std::memcmp(record, kMagic, sizeof kMagic) != 0) {
      client.errors.fetch_add(1);
      return;
    }
    const uint64_t sequence = GetU64(record + 8);
    if (client.sequenceKnown && sequence != client.nextSequence) client.errors.fetch_add(1);
    client.sequenceKnown = true;
    client.nextSequence = sequence + 1;
    if (record[4] != kProbe) return;
    const Ns latency = arrivedAt - static_cast<Ns>(GetU64(record + 16));
    std::lock_guard<std::mutex> guard(samplesLock_);
    if (recording_) samples_.push_back(latency);
  }

  Fd epoll_;
  std::vector<std::unique_ptr<Client>> clients_;
  std::atomic<bool> stop_{false};
  std::mutex samplesLock_;
  bool recording_ = false;
  std::vector<Ns> samples_;
  std::thread reader_;
};

// ---------------------------------------------------------------- source server

// The end that writes the stream. For the relay it is the server the relay
// connects to; for ncat, which has no upstream, it is a member that connects.
//
// Whatever is not yet handed to the kernel waits in a backlog, so a peer that
// stops taking data never leaves half a record behind: the stream stays whole
// and can be checked once the peer moves again.
class Source {
 public:
  uint16_t Listen() {
    listen_ = ListenOnLoopback();
    return LocalPort(listen_.Get());
  }

  void AcceptRelay(Ns deadline) {
    link_ = AcceptWithin(listen_.Get(), deadline);
    if (!link_.Valid()) throw std::runtime_error("the relay did not connect to the source server");
  }

  void ConnectAsMember(uint16_t port, Ns deadline) {
    link_ = ConnectLoopbackRetrying(port, deadline);
    if (!link_.Valid()) throw std::runtime_error("the source could not connect to the peer");
  }

  uint64_t SentBytes() const { return sentBytes_; }

  // One write of `records` records, the first a probe stamped as late as
  // possible before it is handed to the socket. False if the peer did not take
  // it all before the deadline (the rest stays in the backlog).
  bool SendBurst(size_t records, Ns deadline) {
    if (!Push(deadline)) return false;
    const Ns now = NowNs();
    Append(kProbe, 1, now);
    if (records > 1) Append(kFiller, records - 1, now);
    return Push(deadline);
  }

  // Hands the backlog to the kernel; false if it could not all go by the deadline.
  bool Push(Ns deadline) {
    while (backlogOffset_ < backlog_.size()) {
      const ssize_t sent = ::send(link_.Get(), backlog_.data() + backlogOffset_, backlog_.size() - backlogOffset_,
                                  MSG_NOSIGNAL);
      if (sent > 0) {
        backlogOffset_ += static_cast<size_t>(sent);
        sentBytes_ += static_cast<uint64_t>(sent);
        continue;
      }
      if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        throw std::runtime_error(Errno("send to the peer"));
      }
      DiscardUpstream();
      if (NowNs() >= deadline) return false;
      pollfd entry{link_.Get(), POLLOUT, 0};
      ::poll(&entry, 1, 5);
    }
    backlog_.clear();
    backlogOffset_ = 0;
    DiscardUpstream();
    return true;
  }

  // Writes filler records as fast as the peer takes them until `until` or
  // until `byteLimit` more bytes went out, whichever comes first. The source
  // never runs more than kFloodAheadBytes ahead of the slowest client, so the
  // peer always has data waiting while the backlog to drain afterwards stays
  // around a second at the relay's rate.
  //
  // False if the slowest client got nothing for kStarvedAfter while data was
  // outstanding: the peer has stopped delivering, and waiting longer is pointless.
  bool Flood(const ClientSet& clients, Ns until, uint64_t byteLimit) {
    constexpr size_t kBatchRecords = 16;
    const uint64_t limit = byteLimit > UINT64_MAX - sentBytes_ ? UINT64_MAX : sentBytes_ + byteLimit;
    const Ns hardDeadline = until + 30 * kSec;
    uint64_t least = clients.MinReceived();
    Ns progressAt = NowNs();
    for (;;) {
      CheckInterrupted();
      const Ns now = NowNs();
      const uint64_t reached = clients.MinReceived();
      if (reached != least) {
        least = reached;
        progressAt = now;
      }
      if (least < sentBytes_ && now - progressAt >= kStarvedAfter) return false;
      if (now >= hardDeadline) throw std::runtime_error("flood did not finish in time");
      if (backlog_.empty()) {
        if (now >= until || sentBytes_ >= limit) return true;
        if (sentBytes_ - least >= kFloodAheadBytes) {
          SleepUntil(now + 200 * kUs);
          continue;
        }
        const size_t records = std::min<uint64_t>(kBatchRecords, (limit - sentBytes_) / kRecordBytes);
        if (records == 0) return true;
        Append(kFiller, records, now);
      }
      Push(now);  // whatever the kernel takes right now; the loop waits for room
    }
  }

 private:
  void Append(uint8_t kind, size_t records, Ns stamp) {
    const size_t at = backlog_.size();
    backlog_.resize(at + records * kRecordBytes);
    for (size_t i = 0; i < records; ++i) BuildRecord(&backlog_[at + i * kRecordBytes], kind, nextSequence_++, stamp);
  }

  // Clients send nothing, but anything the peer forwards is read and dropped
  // so the peer's own sends to the source never stall.
  void DiscardUpstream() {
    uint8_t sink[4096];
    while (::recv(link_.Get(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
  }

  Fd listen_;
  Fd link_;
  uint64_t nextSequence_ = 0;
  uint64_t sentBytes_ = 0;
  std::vector<uint8_t> backlog_;
  size_t backlogOffset_ = 0;
};

// Waits until every client has received all the source sent. False at the
// deadline, or as soon as the slowest client has got nothing for kStarvedAfter.
bool WaitDelivered(const ClientSet& clients, Source& source, Ns deadline) {
  if (!source.Push(std::min(deadline, NowNs() + kStarvedAfter))) return false;
  uint64_t least = clients.MinReceived();
  Ns progressAt = NowNs();
  while (least < source.SentBytes()) {
    const Ns now = NowNs();
    if (now >= deadline || now - progressAt >= kStarvedAfter) return false;
    CheckInterrupted();
    SleepUntil(now + 2 * kMs);
    const uint64_t reached = clients.MinReceived();
    if (reached != least) {
      least = reached;
      progressAt = NowNs();
    }
  }
  return true;
}

// ---------------------------------------------------------------- the peer processes

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// How to start one peer and read what it says.
struct Launch {
  std::vector<std::string> argv;   // argv[0] is the executable's path
  bool eventsOnStderr = false;     // the stream scanned for the lines below; the other goes to a file
  std::string admittedMarker;      // a line containing it reports one admitted connection
  std::string disconnectedMarker;  // empty if the peer reports no disconnections
  bool stopsOnEscape = false;      // the relay stops on ESC at its console; ncat's ordinary stop is SIGTERM
  std::string eventsLog;
  std::string otherLog;
};

class PeerProcess {
 public:
  explicit PeerProcess(Launch launch) : launch_(std::move(launch)) {
    int input[2];
    int events[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(events, O_CLOEXEC) != 0) throw std::runtime_error(Errno("pipe2"));
    Fd inRead(input[0]);
    Fd eventsWrite(events[1]);
    // Kept open and never written to: ncat broadcasts what it reads on standard
    // input to every member, and the relay reads its keys there.
    stdin_ = Fd(input[1]);
    events_ = Fd(events[0]);
    eventsLog_ = std::fopen(launch_.eventsLog.c_str(), "w");
    if (eventsLog_ == nullptr) throw std::runtime_error(Errno("open " + launch_.eventsLog));

    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls run in the child.
    std::vector<char*> argv;
    for (std::string& arg : launch_.argv) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const char* otherPath = launch_.otherLog.c_str();
    const int eventsFd = launch_.eventsOnStderr ? 2 : 1;
    const int otherFd = launch_.eventsOnStderr ? 1 : 2;
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error(Errno("fork"));
    if (pid_ == 0) {
      // The peer must not outlive the benchmark, however it ends.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(126);
      const int other = ::open(otherPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (other < 0 || ::dup2(inRead.Get(), 0) < 0 || ::dup2(eventsWrite.Get(), eventsFd) < 0 ||
          ::dup2(other, otherFd) < 0) {
        ::_exit(126);
      }
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    reader_ = std::thread([this] { ReadEvents(); });
  }

  ~PeerProcess() { Stop(); }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  pid_t Pid() const { return pid_; }
  int Admitted() const { return admitted_.load(); }
  int Disconnected() const { return disconnected_.load(); }

  bool WaitAdmitted(int count, Ns deadline) const {
    while (admitted_.load() < count) {
      if (NowNs() >= deadline || exited_.load()) return false;
      CheckInterrupted();
      SleepUntil(NowNs() + 5 * kMs);
    }
    return true;
  }

  void SendKey(char key) {
    if (stdin_.Valid()) {
      [[maybe_unused]] const ssize_t written = ::write(stdin_.Get(), &key, 1);
    }
  }

  // The relay only: asks for its status table and returns the largest "Queued"
  // figure in it, the bytes it holds for a client that has not taken them yet.
  std::optional<int64_t> LargestQueued() {
    const std::string& statusPath = launch_.otherLog;
    const size_t before = ReadFile(statusPath).size();
    SendKey('S');
    const Ns deadline = NowNs() + 3 * kSec;
    while (NowNs() < deadline) {
      SleepUntil(NowNs() + 50 * kMs);
      const std::string text = ReadFile(statusPath);
      if (text.size() <= before) continue;
      std::istringstream lines(text.substr(before));
      std::string line;
      int expected = -1;
      int rows = 0;
      int64_t largest = 0;
      while (std::getline(lines, line)) {
        const size_t header = line.find(" clients:");
        if (expected < 0 && header != std::string::npos) {
          const size_t start = line.rfind(' ', header - 1);
          expected = std::atoi(line.c_str() + (start == std::string::npos ? 0 : start + 1));
          continue;
        }
        if (expected < 0 || line.find("Address") != std::string::npos) continue;
        std::istringstream fields(line);
        std::string field;
        std::string last;
        while (fields >> field) {
          if (field != "(inactive)") last = field;
        }
        if (last.empty()) continue;
        largest = std::max<int64_t>(largest, std::atoll(last.c_str()));
        ++rows;
      }
      if (expected >= 0 && rows >= expected) return largest;
    }
    return std::nullopt;
  }

  // The peer's ordinary stop first (ESC for the relay, as an operator would;
  // SIGTERM for ncat); then SIGTERM; SIGKILL as the last resort. Returns an
  // empty string for a clean stop, else what went wrong.
  std::string Stop() {
    if (pid_ <= 0) return status_;
    struct Step {
      int signal;
      Ns grace;
    };
    std::vector<Step> steps{{SIGTERM, 5 * kSec}, {SIGKILL, 5 * kSec}};
    if (launch_.stopsOnEscape) {
      SendKey('\x1b');
      steps.insert(steps.begin(), Step{0, 10 * kSec});
    }
    int status = 0;
    std::optional<size_t> reapedAt;
    for (size_t i = 0; i < steps.size() && !reapedAt; ++i) {
      if (steps[i].signal != 0) ::kill(pid_, steps[i].signal);
      const Ns deadline = NowNs() + steps[i].grace;
      while (!reapedAt && NowNs() < deadline) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno == ECHILD)) reapedAt = i;
        else SleepUntil(NowNs() + 10 * kMs);
      }
    }
    if (!reapedAt) {
      status_ = "could not be reaped";
    } else {
      const int sent = steps[*reapedAt].signal;
      if (*reapedAt > 0) status_ = sent == SIGTERM ? "needed SIGTERM" : "needed SIGKILL";
      auto add = [this](const std::string& what) { status_ += (status_.empty() ? "" : ", ") + what; };
      if (WIFEXITED(status) && WEXITSTATUS(status) != 0) add("exit status " + std::to_string(WEXITSTATUS(status)));
      if (WIFSIGNALED(status) && WTERMSIG(status) != sent) add("signal " + std::to_string(WTERMSIG(status)));
    }
    pid_ = -1;
    exited_.store(true);
    stdin_.Reset();
    if (reader_.joinable()) reader_.join();
    if (eventsLog_ != nullptr) std::fclose(eventsLog_);
    eventsLog_ = nullptr;
    return status_;
  }

 private:
  void ReadEvents() {
    std::string line;
    char buffer[4096];
    for (;;) {
      pollfd entry{events_.Get(), POLLIN, 0};
      if (::poll(&entry, 1, 100) <= 0) {
        if (exited_.load()) break;  // the child is gone and nothing is left to read
        continue;
      }
      const ssize_t got = ::read(events_.Get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        exited_.store(true);  // its output closed: the peer is gone, so no more admissions will come
        break;
      }
      std::fwrite(buffer, 1, static_cast<size_t>(got), eventsLog_);
      std::fflush(eventsLog_);
      for (ssize_t i = 0; i < got; ++i) {
        if (buffer[i] != '\n') {
          line.push_back(buffer[i]);
          continue;
        }
        if (line.find(launch_.admittedMarker) != std::string::npos) admitted_.fetch_add(1);
        if (!launch_.disconnectedMarker.empty() && line.find(launch_.disconnectedMarker) != std::string::npos) {
          disconnected_.fetch_add(1);
        }
        line.clear();
      }
    }
  }

  Launch launch_;
  Fd stdin_;
  Fd events_;
  FILE* eventsLog_ = nullptr;
  pid_t pid_ = -1;
  std::string status_;
  std::atomic<int> admitted_{0};
  std::atomic<int> disconnected_{0};
  std::atomic<bool> exited_{false};
  std::thread reader_;
};

// ---------------------------------------------------------------- /proc sampling

// utime + stime of every thread, in clock ticks; nothing if the process is gone.
std::optional<uint64_t> TryCpuTicks(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 > stat.size()) return std::nullopt;
  std::istringstream fields(stat.substr(close + 2));
  std::vector<std::string> values;
  std::string value;
  while (fields >> value) values.push_back(value);
  // After "pid (comm)": state is field 3, so utime (14) and stime (15) sit at 11 and 12.
  if (values.size() < 13) return std::nullopt;
  return std::stoull(values[11]) + std::stoull(values[12]);
}

uint64_t CpuTicks(pid_t pid) {
  const std::optional<uint64_t> ticks = TryCpuTicks(pid);
  if (!ticks) throw std::runtime_error("cannot read /proc/" + std::to_string(pid) + "/stat");
  return *ticks;
}

// Time on CPU per thread, in nanoseconds, from the scheduler's own accounting:
// finer than the clock ticks of /proc/<pid>/stat, and it tells the main thread
// from the others (the relay's client workers; ncat has only the one).
struct ThreadTimes {
  uint64_t mainNs = 0;
  uint64_t othersNs = 0;
  uint64_t mainRuns = 0;  // times scheduled in, roughly one per wake-up
  uint64_t othersRuns = 0;
};

ThreadTimes SampleThreads(pid_t pid) {
  ThreadTimes times;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
    std::istringstream fields(ReadFile((entry.path() / "schedstat").string()));
    uint64_t onCpu = 0;
    uint64_t waited = 0;
    uint64_t runs = 0;
    if (!(fields >> onCpu >> waited >> runs)) continue;
    const bool main = entry.path().filename() == std::to_string(pid);
    (main ? times.mainNs : times.othersNs) += onCpu;
    (main ? times.mainRuns : times.othersRuns) += runs;
  }
  return times;
}

// A peer's CPU over one window, in % of one core.
struct CpuFigures {
  double seconds = 0;
  double percent = 0;       // all threads, scheduler accounting: the figure compared
  double ticksPercent = 0;  // utime + stime, a cross-check in 10 ms ticks
  double mainPercent = 0;
  double othersPercent = 0;
  double mainWakeups = 0;  // per second
  double othersWakeups = 0;
  double CpuSeconds() const { return percent / 100.0 * seconds; }
};

class CpuMeter {
 public:
  explicit CpuMeter(pid_t pid) : pid_(pid), threads_(SampleThreads(pid)), ticks_(CpuTicks(pid)), at_(NowNs()) {}

  CpuFigures Read() const {
    const Ns at = NowNs();
    const uint64_t ticks = CpuTicks(pid_);
    const ThreadTimes threads = SampleThreads(pid_);
    CpuFigures cpu;
    cpu.seconds = static_cast<double>(at - at_) / kSec;
    if (cpu.seconds <= 0) return cpu;
    auto percentOf = [&](uint64_t ns) { return 100.0 * static_cast<double>(ns) / kSec / cpu.seconds; };
    cpu.mainPercent = percentOf(threads.mainNs - threads_.mainNs);
    cpu.othersPercent = percentOf(threads.othersNs - threads_.othersNs);
    cpu.percent = cpu.mainPercent + cpu.othersPercent;
    const double ticksPerSecond = static_cast<double>(::sysconf(_SC_CLK_TCK));
    cpu.ticksPercent = 100.0 * static_cast<double>(ticks - ticks_) / ticksPerSecond / cpu.seconds;
    cpu.mainWakeups = static_cast<double>(threads.mainRuns - threads_.mainRuns) / cpu.seconds;
    cpu.othersWakeups = static_cast<double>(threads.othersRuns - threads_.othersRuns) / cpu.seconds;
    return cpu;
  }

 private:
  pid_t pid_;
  ThreadTimes threads_;
  uint64_t ticks_;
  Ns at_;
};

// The machine is shared: what other processes burn while a figure is taken is
// measured alongside it, so a noisy figure can be told from a slow peer. The
// peers under test and this benchmark are left out.
class BackgroundLoad {
 public:
  explicit BackgroundLoad(std::vector<pid_t> excluded) : excluded_(std::move(excluded)) {
    excluded_.push_back(::getpid());
    start_ = Take();
  }

  // Cores' worth of CPU used by everything else.
  double Cores() const {
    const Sample end = Take();
    double others = static_cast<double>(end.machine - start_.machine);
    for (size_t i = 0; i < excluded_.size(); ++i) {
      if (start_.excluded[i] && end.excluded[i]) others -= static_cast<double>(*end.excluded[i] - *start_.excluded[i]);
    }
    const double seconds = static_cast<double>(end.at - start_.at) / kSec;
    // Each counter is sampled at a slightly different moment, so the difference
    // can come out a tick or two below zero on a quiet machine.
    return std::max(0.0, others / static_cast<double>(::sysconf(_SC_CLK_TCK)) / seconds);
  }

 private:
  struct Sample {
    uint64_t machine = 0;  // busy ticks of all CPUs
    std::vector<std::optional<uint64_t>> excluded;
    Ns at = 0;
  };

  Sample Take() const {
    Sample sample;
    std::istringstream line(ReadFile("/proc/stat"));
    std::string label;
    line >> label;
    uint64_t value = 0;
    for (int field = 0; field < 8 && line >> value; ++field) {
      if (field != 3 && field != 4) sample.machine += value;  // all but idle and iowait
    }
    for (const pid_t pid : excluded_) sample.excluded.push_back(TryCpuTicks(pid));
    sample.at = NowNs();
    return sample;
  }

  std::vector<pid_t> excluded_;
  Sample start_;
};

int64_t StatusField(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::atoll(line.c_str() + name.size() + 1);
  }
  return -1;
}

// ---------------------------------------------------------------- statistics

struct LatencyStats {
  size_t samples = 0;
  size_t expected = 0;
  double p50Ms = 0;
  double p99Ms = 0;
  double maxMs = 0;
};

double Percentile(const std::vector<Ns>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  // Nearest rank: the smallest sample with at least `fraction` of all at or below it.
  const size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return static_cast<double>(sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1]) / kMs;
}

LatencyStats Summarise(std::vector<Ns> samples, size_t expected) {
  std::sort(samples.begin(), samples.end());
  LatencyStats stats;
  stats.samples = samples.size();
  stats.expected = expected;
  stats.p50Ms = Percentile(samples, 0.50);
  stats.p99Ms = Percentile(samples, 0.99);
  stats.maxMs = samples.empty() ? 0 : static_cast<double>(samples.back()) / kMs;
  return stats;
}

// ---------------------------------------------------------------- one peer's run

enum class PeerKind { kVeltor, kNcat };

const char* PeerName(PeerKind kind) { return kind == PeerKind::kVeltor ? "veltor" : "ncat"; }

struct Options {
  std::string relay;
  std::string ncat = "ncat";
  std::vector<PeerKind> peers{PeerKind::kVeltor, PeerKind::kNcat};
  std::vector<int> counts{1, 20, 100};
  double latencySeconds = 10;  // each paced run: console rate, busy rate, and with the stalled client
  double throughputSeconds = 8;
  double idleSeconds = 10;     // the idle sample, with and without the stalled client
  bool keepFiles = false;
};

struct IdleFigures {
  CpuFigures cpu;
  int64_t rssKiB = 0;
  int64_t threads = 0;
  double load = 0;  // other processes, cores
};

// One paced run: a write every 20 ms, the first record of each a probe.
struct PacedFigures {
  size_t recordsPerWrite = 0;
  LatencyStats latency;
  CpuFigures cpu;
  uint64_t deliveredBytes = 0;  // received by all clients during the window
  double load = 0;
  bool delivered = true;        // every client got every byte by the end
  bool sourceBlocked = false;   // the peer stopped taking the source's writes
  // CPU milliseconds for each megabyte (10^6 bytes) delivered to the clients.
  double CpuMsPerMB() const {
    return deliveredBytes == 0 ? 0 : cpu.CpuSeconds() * 1000.0 / (static_cast<double>(deliveredBytes) / 1e6);
  }
};

struct StallFigures {
  bool measured = false;
  bool starved = false;    // the healthy clients stopped receiving while it did not read
  bool recovered = false;  // and got everything once it was gone
  uint64_t prefillBytes = 0;
  uint64_t deliveredBeforeStarving = 0;  // per healthy client, during the prefill
  int64_t queuedBefore = -1;  // the relay's status table, once the prefill stalled its worker
  int64_t queuedAfter = -1;   // and after the console-rate run
  int64_t receiveQueue = 0;   // bytes waiting in the stalled client's own socket
  IdleFigures idle;
  PacedFigures console;
};

struct Result {
  PeerKind peer = PeerKind::kVeltor;
  int clients = 0;
  double admitSeconds = 0;
  IdleFigures idle;
  PacedFigures console;
  PacedFigures busy;
  double throughputMinKBps = 0;
  double throughputMeanKBps = 0;
  double throughputWindowSeconds = 0;
  double throughputLoad = 0;
  bool throughputStarved = false;
  StallFigures stall;
  int64_t peakRssKiB = 0;
  uint64_t recordErrors = 0;
  size_t clientsLost = 0;
  int discLines = -1;  // -1: the peer reports no disconnections
  bool undelivered = false;
  std::string exit;
};

// The launch of each peer, from a generated configuration (the relay) or flags (ncat).
Launch VeltorLaunch(const Options& options, int count, uint16_t sourcePort, uint16_t listenPort,
                    const std::filesystem::path& work) {
  const std::string stem = (work / ("veltor-" + std::to_string(count))).string();
  {
    std::ofstream out(stem + ".conf");
    out << "# generated by veltor-fanout-bench: no greeting, every loopback client admitted\n"
        << "127.0.0.1\n"
        << sourcePort << "\n"
        << listenPort << "\n"
        << count + 10 << "\n"
        << "Y, 127.0.0.1, 255.255.255.255, Y, 0, Y\n";
  }
  Launch launch;
  launch.argv = {options.relay, stem + ".conf"};
  launch.admittedMarker = "accepted:";
  launch.disconnectedMarker = "Disc:";
  launch.stopsOnEscape = true;
  launch.eventsLog = stem + ".out";
  launch.otherLog = stem + ".err";  // where the status table appears
  return launch;
}

Launch NcatLaunch(const Options& options, int count, uint16_t listenPort, const std::filesystem::path& work) {
  const std::string stem = (work / ("ncat-" + std::to_string(count))).string();
  Launch launch;
  // -v makes ncat name every connection it accepts, which is how the benchmark
  // knows a member is in before data flows; it prints nothing per message.
  // Its default limit of 100 connections would turn the 100th client away.
  launch.argv = {options.ncat, "--broker", "--listen", "-v", "--nodns", "--max-conns", std::to_string(count + 10),
                 "127.0.0.1", std::to_string(listenPort)};
  launch.eventsOnStderr = true;
  // It also prints "Connection from 127.0.0.1." without the port for each one.
  launch.admittedMarker = "Connection from 127.0.0.1:";
  launch.eventsLog = stem + ".err";
  launch.otherLog = stem + ".out";
  return launch;
}

class PeerRun {
 public:
  PeerRun(const Options& options, PeerKind kind, int count, const std::filesystem::path& work)
      : options_(options), listenPort_(FreeLoopbackPort()) {
    result_.peer = kind;
    result_.clients = count;
    if (kind == PeerKind::kVeltor) {
      const uint16_t sourcePort = source_.Listen();
      process_ = std::make_unique<PeerProcess>(VeltorLaunch(options, count, sourcePort, listenPort_, work));
      source_.AcceptRelay(NowNs() + 10 * kSec);
    } else {
      process_ = std::make_unique<PeerProcess>(NcatLaunch(options, count, listenPort_, work));
      source_.ConnectAsMember(listenPort_, NowNs() + 10 * kSec);
      if (!process_->WaitAdmitted(1, NowNs() + 5 * kSec)) throw std::runtime_error("ncat did not take the source");
    }
  }

  PeerKind Kind() const { return result_.peer; }
  pid_t Pid() const { return process_->Pid(); }
  const Result& Outcome() const { return result_; }
  void SetCompanions(std::vector<pid_t> pids) { companions_ = std::move(pids); }

  // The relay admits one client a second; connecting one at a time keeps the
  // listen backlog short and tells which connection each admission is for.
  void Admit() {
    const int count = result_.clients;
    const Ns start = NowNs();
    for (int i = 0; i < count; ++i) {
      clients_.Add(ConnectClient(std::nullopt));
      Progress("\r  %s N=%d: admitted %d/%d", Name(), count, i + 1, count);
    }
    result_.admitSeconds = static_cast<double>(NowNs() - start) / kSec;
    Progress("  (%.1f s)\n", result_.admitSeconds);
  }

  void MeasureIdle() {
    Progress("  %s N=%d: idle %.0f s\n", Name(), result_.clients, options_.idleSeconds);
    result_.idle = SampleIdle();
  }

  void MeasureConsole() {
    Progress("  %s N=%d: console rate %.0f s\n", Name(), result_.clients, options_.latencySeconds);
    result_.console = Paced(kConsoleRecordsPerWrite);
    if (!result_.console.delivered) result_.undelivered = true;
  }

  void MeasureBusy() {
    Progress("  %s N=%d: %zu B writes at %d/s, %.0f s\n", Name(), result_.clients, kBusyRecordsPerWrite * kRecordBytes,
             kWritesPerSecond, options_.latencySeconds);
    result_.busy = Paced(kBusyRecordsPerWrite);
    if (!result_.busy.delivered) result_.undelivered = true;
  }

  void MeasureThroughput() {
    Progress("  %s N=%d: throughput %.0f s\n", Name(), result_.clients, options_.throughputSeconds);
    // The first second fills the pipeline; only the steady state after it counts.
    const Ns start = NowNs();
    const Ns end = start + Seconds(options_.throughputSeconds);
    const Ns warm = start + std::min<Ns>(kSec, (end - start) / 4);
    bool flowed = source_.Flood(clients_, warm, UINT64_MAX);
    const BackgroundLoad load(Excluded());
    const std::vector<uint64_t> first = clients_.Received();
    const Ns firstAt = NowNs();
    flowed = flowed && source_.Flood(clients_, end, UINT64_MAX);
    const std::vector<uint64_t> last = clients_.Received();
    const Ns lastAt = NowNs();
    result_.throughputLoad = load.Cores();
    const double window = static_cast<double>(lastAt - firstAt) / kSec;
    double least = 1e300;
    double sum = 0;
    for (size_t i = 0; i < first.size(); ++i) {
      const double rate = static_cast<double>(last[i] - first[i]) / window / 1000.0;
      least = std::min(least, rate);
      sum += rate;
    }
    result_.throughputMinKBps = first.empty() ? 0 : least;
    result_.throughputMeanKBps = first.empty() ? 0 : sum / static_cast<double>(first.size());
    result_.throughputWindowSeconds = window;
    result_.throughputStarved = !flowed;
    if (!flowed || !WaitDelivered(clients_, source_, NowNs() + kBacklogDrainLimit)) result_.undelivered = true;
  }

  // One more client that never reads. The kernel buffers on its path grow to
  // megabytes before a send to it blocks, so data goes out in steps until the
  // case to measure is reached: the relay reports bytes it holds for that
  // client (its worker is then caught in a send that cannot finish), or the
  // healthy clients stop receiving (ncat blocks in that send, all of it).
  void MeasureStalled() {
    StallFigures& stall = result_.stall;
    stall.measured = true;
    Progress("  %s N=%d: one client stops reading\n", Name(), result_.clients);
    stalled_ = ConnectClient(1);  // the kernel rounds the receive buffer up to its minimum
    const uint64_t sentBefore = source_.SentBytes();
    const uint64_t receivedBefore = clients_.MinReceived();
    while (stall.prefillBytes < kStallPrefillLimitBytes) {
      const bool flowed = source_.Flood(clients_, NowNs() + 20 * kSec, kStallPrefillStepBytes);
      stall.prefillBytes = source_.SentBytes() - sentBefore;
      if (!flowed || !WaitDelivered(clients_, source_, NowNs() + kBacklogDrainLimit)) {
        stall.starved = true;
        break;
      }
      if (Kind() == PeerKind::kVeltor) {
        SleepFor(50 * kMs);
        stall.queuedBefore = process_->LargestQueued().value_or(-1);
        if (stall.queuedBefore > 0) break;
      }
    }
    stall.deliveredBeforeStarving = clients_.MinReceived() - receivedBefore;
    if (stall.starved) Progress("  %s N=%d: healthy clients starved\n", Name(), result_.clients);
    int pending = 0;
    ::ioctl(stalled_.Get(), FIONREAD, &pending);
    stall.receiveQueue = pending;
    SleepFor(200 * kMs);

    Progress("  %s N=%d: idle %.0f s, one client stopped\n", Name(), result_.clients, options_.idleSeconds);
    stall.idle = SampleIdle();
    Progress("  %s N=%d: console rate %.0f s, one client stopped\n", Name(), result_.clients, options_.latencySeconds);
    // A peer that starves everyone will not deliver later either: no need to wait long.
    stall.console = Paced(kConsoleRecordsPerWrite, stall.starved ? kStarvedAfter : kDrainLimit);
    if (Kind() == PeerKind::kVeltor) stall.queuedAfter = process_->LargestQueued().value_or(-1);

    if (stall.starved || !stall.console.delivered) {
      // Freed from the client that blocks it, the peer must deliver the rest
      // intact; a relay that never saw the client go keeps it until it stops.
      stalled_.Reset();
      stall.recovered = WaitDelivered(clients_, source_, NowNs() + kBacklogDrainLimit);
      if (!stall.recovered) result_.undelivered = true;
    }
  }

  void Finish() {
    if (Pid() > 0) result_.peakRssKiB = StatusField(Pid(), "VmHWM");
    result_.recordErrors = clients_.Errors();
    result_.clientsLost = clients_.Closed();
    if (Kind() == PeerKind::kVeltor) result_.discLines = process_->Disconnected();
    clients_.StopReading();
    result_.exit = process_->Stop();
    stalled_.Reset();  // kept open until the peer has stopped, so it never saw the client go
  }

 private:
  const char* Name() const { return PeerName(Kind()); }

  std::vector<pid_t> Excluded() const {
    std::vector<pid_t> pids = companions_;
    pids.push_back(Pid());
    return pids;
  }

  Fd ConnectClient(std::optional<int> receiveBuffer) {
    const int want = process_->Admitted() + 1;
    Fd fd = ConnectLoopbackRetrying(listenPort_, NowNs() + 10 * kSec, receiveBuffer);
    if (!fd.Valid()) throw std::runtime_error(std::string("could not connect to ") + Name());
    if (!process_->WaitAdmitted(want, NowNs() + 5 * kSec)) {
      throw std::runtime_error(std::string(Name()) + " did not admit a client");
    }
    return fd;
  }

  IdleFigures SampleIdle() {
    IdleFigures idle;
    const BackgroundLoad load(Excluded());
    const CpuMeter meter(Pid());
    SleepFor(Seconds(options_.idleSeconds));
    idle.cpu = meter.Read();
    idle.load = load.Cores();
    idle.rssKiB = StatusField(Pid(), "VmRSS");
    idle.threads = StatusField(Pid(), "Threads");
    return idle;
  }

  // Writes of `records` records at kWritesPerSecond for the latency time, then
  // waits for the last to arrive. The CPU window covers the same span, so the
  // bytes received in it are the bytes that CPU delivered.
  PacedFigures Paced(size_t records, Ns drainLimit = kDrainLimit) {
    PacedFigures paced;
    paced.recordsPerWrite = records;
    const int writes = static_cast<int>(options_.latencySeconds * kWritesPerSecond);
    const BackgroundLoad load(Excluded());
    const uint64_t receivedBefore = clients_.TotalReceived();
    clients_.StartRecording();
    const CpuMeter meter(Pid());
    const Ns start = NowNs() + 10 * kMs;
    for (int i = 0; i < writes && !paced.sourceBlocked; ++i) {
      SleepUntil(start + static_cast<Ns>(i) * (kSec / kWritesPerSecond));
      CheckInterrupted();
      paced.sourceBlocked = !source_.SendBurst(records, NowNs() + kSourceSendLimit);
    }
    paced.delivered = !paced.sourceBlocked && WaitDelivered(clients_, source_, NowNs() + drainLimit);
    paced.cpu = meter.Read();
    paced.latency = Summarise(clients_.StopRecording(), static_cast<size_t>(writes) * clients_.Size());
    paced.deliveredBytes = clients_.TotalReceived() - receivedBefore;
    paced.load = load.Cores();
    return paced;
  }

  const Options& options_;
  const uint16_t listenPort_;
  Result result_;
  Source source_;
  std::unique_ptr<PeerProcess> process_;
  ClientSet clients_;
  Fd stalled_;
  std::vector<pid_t> companions_;
};

// ---------------------------------------------------------------- report

void PrintMachine() {
  utsname name{};
  ::uname(&name);
  std::printf("Fan-out benchmark: %ld CPUs online, kernel %s %s\n", ::sysconf(_SC_NPROCESSORS_ONLN), name.sysname,
              name.release);
}

bool Starved(const PacedFigures& paced) { return paced.sourceBlocked || paced.latency.samples == 0; }

void PrintLatencyRow(const char* label, const PacedFigures& paced) {
  const LatencyStats& s = paced.latency;
  std::printf("  %-40s %9.3f %9.3f %9.3f %7zu/%-6zu%s\n", label, s.p50Ms, s.p99Ms, s.maxMs, s.samples, s.expected,
              Starved(paced) ? "  STALLED: healthy clients starved" : (paced.delivered ? "" : "  (not all delivered)"));
}

void PrintCpuRow(const char* label, const CpuFigures& cpu) {
  std::printf("  %-40s %7.2f %% (ticks %.2f %%); main thread %.2f %% (%.0f wake-ups/s), others %.2f %% (%.0f/s)\n",
              label, cpu.percent, cpu.ticksPercent, cpu.mainPercent, cpu.mainWakeups, cpu.othersPercent,
              cpu.othersWakeups);
}

void PrintPerMegabyte(const char* label, const PacedFigures& paced) {
  std::printf("  %-40s %7.2f CPU ms/MB (%.2f MB delivered, %.2f %% of a core over %.1f s)\n", label,
              paced.CpuMsPerMB(), static_cast<double>(paced.deliveredBytes) / 1e6, paced.cpu.percent,
              paced.cpu.seconds);
}

void PrintResult(const Result& r) {
  const StallFigures& st = r.stall;
  std::printf("\n== %s, %d client%s (admitted in %.1f s) ==\n", PeerName(r.peer), r.clients,
              r.clients == 1 ? "" : "s", r.admitSeconds);
  std::printf("  %-40s %9s %9s %9s %14s\n", "delivery latency", "p50 ms", "p99 ms", "max ms", "samples");
  PrintLatencyRow("console rate (64 B x 50/s)", r.console);
  PrintLatencyRow("busy (960 B x 50/s)", r.busy);
  PrintLatencyRow("console rate, one client stopped", st.console);
  std::printf("  CPU, %% of one core (scheduler accounting)\n");
  PrintCpuRow("  idle", r.idle.cpu);
  PrintCpuRow("  console rate", r.console.cpu);
  PrintCpuRow("  busy", r.busy.cpu);
  PrintCpuRow("  idle, one client stopped", st.idle.cpu);
  PrintCpuRow("  console rate, one client stopped", st.console.cpu);
  PrintPerMegabyte("CPU per delivered MB, console rate", r.console);
  PrintPerMegabyte("CPU per delivered MB, busy", r.busy);
  std::printf("  %-40s idle %+.3f %% of a core, console rate %+.3f %%%s\n", "cost of the stopped client",
              st.idle.cpu.percent - r.idle.cpu.percent, st.console.cpu.percent - r.console.cpu.percent,
              st.starved ? "; STALLED: healthy clients starved" : "");
  std::printf("  %-40s prefill %llu KiB (%llu KiB reached each healthy client), %lld B in its socket",
              "  stopped client", static_cast<unsigned long long>(st.prefillBytes / 1024),
              static_cast<unsigned long long>(st.deliveredBeforeStarving / 1024),
              static_cast<long long>(st.receiveQueue));
  if (r.peer == PeerKind::kVeltor) {
    std::printf("; relay queued %lld B, %lld B at the end", static_cast<long long>(st.queuedBefore),
                static_cast<long long>(st.queuedAfter));
  }
  if (st.starved) std::printf("; %s once it closed", st.recovered ? "all delivered" : "NOT ALL DELIVERED");
  std::printf("\n");
  std::printf("  %-40s min %.2f kB/s, mean %.2f kB/s (over %.1f s)%s\n", "throughput per client, flat out",
              r.throughputMinKBps, r.throughputMeanKBps, r.throughputWindowSeconds,
              r.throughputStarved ? "  STALLED" : "");
  std::printf("  %-40s VmRSS %lld KiB, %lld threads; peak VmRSS (VmHWM) %lld KiB\n", "memory",
              static_cast<long long>(r.idle.rssKiB), static_cast<long long>(r.idle.threads),
              static_cast<long long>(r.peakRssKiB));
  std::printf("  %-40s idle %.2f, console %.2f, busy %.2f, throughput %.2f, stopped idle %.2f, stopped console %.2f\n",
              "other processes' load (cores)", r.idle.load, r.console.load, r.busy.load, r.throughputLoad,
              st.idle.load, st.console.load);
  std::printf("  %-40s %" PRIu64 " bad records, %zu clients closed, %s Disc lines, %s, exit: %s\n", "integrity",
              r.recordErrors, r.clientsLost, r.discLines < 0 ? "no" : std::to_string(r.discLines).c_str(),
              r.undelivered ? "SOME DATA UNDELIVERED" : "all data delivered", r.exit.empty() ? "clean" : r.exit.c_str());
}

void PrintMetrics(const Result& r, const std::map<int, double>& perClientKiB) {
  auto metric = [&](const char* name, double value, const char* unit) {
    std::printf("BENCH peer=%s clients=%d metric=%s value=%.3f unit=%s\n", PeerName(r.peer), r.clients, name, value,
                unit);
  };
  auto paced = [&](const std::string& prefix, const PacedFigures& p) {
    metric((prefix + "_latency_p50").c_str(), p.latency.p50Ms, "ms");
    metric((prefix + "_latency_p99").c_str(), p.latency.p99Ms, "ms");
    metric((prefix + "_latency_max").c_str(), p.latency.maxMs, "ms");
    metric((prefix + "_latency_samples").c_str(), static_cast<double>(p.latency.samples), "count");
    metric((prefix + "_latency_expected").c_str(), static_cast<double>(p.latency.expected), "count");
    metric((prefix + "_cpu").c_str(), p.cpu.percent, "percent_of_one_core");
    metric((prefix + "_cpu_ticks").c_str(), p.cpu.ticksPercent, "percent_of_one_core");
    metric((prefix + "_delivered").c_str(), static_cast<double>(p.deliveredBytes), "bytes");
    metric((prefix + "_cpu_per_mb").c_str(), p.CpuMsPerMB(), "cpu_ms_per_MB");
    metric((prefix + "_starved").c_str(), Starved(p) ? 1 : 0, "bool");
    metric((prefix + "_background_load").c_str(), p.load, "cores");
  };
  auto idle = [&](const std::string& prefix, const IdleFigures& i) {
    metric((prefix + "_cpu").c_str(), i.cpu.percent, "percent_of_one_core");
    metric((prefix + "_cpu_ticks").c_str(), i.cpu.ticksPercent, "percent_of_one_core");
    metric((prefix + "_cpu_main_thread").c_str(), i.cpu.mainPercent, "percent_of_one_core");
    metric((prefix + "_cpu_other_threads").c_str(), i.cpu.othersPercent, "percent_of_one_core");
    metric((prefix + "_wakeups_main_thread").c_str(), i.cpu.mainWakeups, "per_second");
    metric((prefix + "_wakeups_other_threads").c_str(), i.cpu.othersWakeups, "per_second");
    metric((prefix + "_background_load").c_str(), i.load, "cores");
  };
  metric("admit_seconds", r.admitSeconds, "s");
  idle("idle", r.idle);
  metric("idle_rss", static_cast<double>(r.idle.rssKiB), "KiB");
  metric("idle_threads", static_cast<double>(r.idle.threads), "count");
  paced("console", r.console);
  paced("busy", r.busy);
  metric("throughput_min", r.throughputMinKBps, "kB/s");
  metric("throughput_mean", r.throughputMeanKBps, "kB/s");
  metric("throughput_background_load", r.throughputLoad, "cores");
  idle("stalled_idle", r.stall.idle);
  paced("stalled_console", r.stall.console);
  metric("stalled_cost_idle", r.stall.idle.cpu.percent - r.idle.cpu.percent, "percent_of_one_core");
  metric("stalled_cost_console", r.stall.console.cpu.percent - r.console.cpu.percent, "percent_of_one_core");
  metric("stalled_starved", r.stall.starved ? 1 : 0, "bool");
  metric("stalled_recovered", r.stall.recovered ? 1 : 0, "bool");
  metric("stalled_prefill", static_cast<double>(r.stall.prefillBytes), "bytes");
  if (r.peer == PeerKind::kVeltor) {
    metric("stalled_queued_before", static_cast<double>(r.stall.queuedBefore), "bytes");
    metric("stalled_queued_after", static_cast<double>(r.stall.queuedAfter), "bytes");
  }
  metric("peak_rss", static_cast<double>(r.peakRssKiB), "KiB");
  const auto per = perClientKiB.find(r.clients);
  if (per != perClientKiB.end()) metric("memory_per_idle_client", per->second, "KiB");
  metric("record_errors", static_cast<double>(r.recordErrors), "count");
  metric("clients_lost", static_cast<double>(r.clientsLost), "count");
  metric("undelivered", r.undelivered ? 1 : 0, "bool");
}

// ---------------------------------------------------------------- side by side

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

Cell Value(double value) { return Cell{value, ""}; }

// A latency cell says so when the healthy clients got nothing to measure.
Cell LatencyCell(const PacedFigures& paced, double LatencyStats::*figure) {
  if (!Starved(paced)) return Value(paced.latency.*figure);
  Cell cell;
  if (paced.latency.samples > 0) cell.value = paced.latency.*figure;
  cell.note = "starved: " + std::to_string(paced.latency.samples) + "/" + std::to_string(paced.latency.expected) +
              " probes";
  return cell;
}

std::optional<double> Ratio(const Comparison& row) {
  if (!row.ratioMeaningful || !row.veltor.value || !row.ncat.value) return std::nullopt;
  if (!row.veltor.note.empty() || !row.ncat.note.empty() || *row.ncat.value <= row.ratioFloor) return std::nullopt;
  return *row.veltor.value / *row.ncat.value;
}

std::string FormatCell(const Cell& cell, const std::string& unit, int decimals) {
  std::string text;
  if (cell.value) {
    char number[64];
    std::snprintf(number, sizeof number, "%.*f", decimals, *cell.value);
    text = number;
    if (!unit.empty()) text += " " + unit;
  }
  if (!cell.note.empty()) text += text.empty() ? cell.note : " (" + cell.note + ")";
  return text.empty() ? "—" : text;
}

class ComparisonTable {
 public:
  explicit ComparisonTable(const std::vector<Result>& results) : results_(results) {}

  void Add(const std::string& metric, const std::string& figure, int clients, const std::string& unit, int decimals,
           bool ratioMeaningful, const CellOf& of, double ratioFloor = 0) {
    const Result* v = Find(PeerKind::kVeltor, clients);
    const Result* n = Find(PeerKind::kNcat, clients);
    if (v == nullptr && n == nullptr) return;
    Comparison row;
    row.metric = metric;
    row.figure = figure;
    row.clients = clients;
    row.unit = unit;
    row.decimals = decimals;
    row.ratioMeaningful = ratioMeaningful;
    row.ratioFloor = ratioFloor;
    if (v != nullptr) row.veltor = of(*v);
    if (n != nullptr) row.ncat = of(*n);
    rows_.push_back(row);
  }

  // Marks the last row added with a target and, where both figures exist, whether it is met.
  void Target(const std::string& target, const std::function<std::optional<bool>(const Comparison&)>& judge) {
    if (rows_.empty()) return;
    rows_.back().target = target;
    rows_.back().met = judge(rows_.back());
  }

  void PrintPlain() const {
    for (const Comparison& row : rows_) {
      std::printf("COMPARE clients=%d metric=%s veltor=%s ncat=%s ratio=%s unit=%s", row.clients, row.metric.c_str(),
                  Plain(row.veltor.value).c_str(), Plain(row.ncat.value).c_str(), Plain(Ratio(row)).c_str(),
                  row.unit.empty() ? "none" : row.unit.c_str());
      if (!row.veltor.note.empty()) std::printf(" veltor_note=\"%s\"", row.veltor.note.c_str());
      if (!row.ncat.note.empty()) std::printf(" ncat_note=\"%s\"", row.ncat.note.c_str());
      std::printf("\n");
    }
    for (const Comparison& row : rows_) {
      if (row.target.empty()) continue;
      std::printf("TARGET clients=%d metric=%s target=\"%s\" veltor=%s verdict=%s\n", row.clients, row.metric.c_str(),
                  row.target.c_str(), Plain(row.veltor.value).c_str(), Verdict(row).c_str());
    }
  }

  void PrintMarkdown() const {
    std::printf("| figure | clients | Veltor | ncat | Veltor / ncat | target | verdict |\n");
    std::printf("|---|---:|---:|---:|---:|---|---|\n");
    for (const Comparison& row : rows_) {
      const std::optional<double> ratio = Ratio(row);
      char ratioText[32] = "—";
      if (ratio) std::snprintf(ratioText, sizeof ratioText, "%.2f", *ratio);
      else if (NearZero(row)) std::snprintf(ratioText, sizeof ratioText, "n/a (ncat ≈ 0)");
      std::printf("| %s | %d | %s | %s | %s | %s | %s |\n", row.figure.c_str(), row.clients,
                  FormatCell(row.veltor, row.unit, row.decimals).c_str(),
                  FormatCell(row.ncat, row.unit, row.decimals).c_str(), ratioText,
                  row.target.empty() ? "" : row.target.c_str(), row.target.empty() ? "" : Verdict(row).c_str());
    }
  }

 private:
  const Result* Find(PeerKind peer, int clients) const {
    for (const Result& r : results_) {
      if (r.peer == peer && r.clients == clients) return &r;
    }
    return nullptr;
  }

  static bool NearZero(const Comparison& row) {
    return row.ratioMeaningful && row.ncat.value && row.ncat.note.empty() && *row.ncat.value <= row.ratioFloor;
  }

  static std::string Plain(const std::optional<double>& value) {
    if (!value) return "na";
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", *value);
    return text;
  }

  static std::string Verdict(const Comparison& row) {
    if (!row.met) return "n/a";
    return *row.met ? "met" : "missed";
  }

  const std::vector<Result>& results_;
  std::vector<Comparison> rows_;
};

// The owner's targets for Veltor, judged against the same run's ncat figures where relative.
std::optional<bool> AtMost(const Comparison& row, double limit) {
  if (!row.veltor.value || !row.veltor.note.empty()) return std::nullopt;
  return *row.veltor.value <= limit;
}

std::optional<bool> Below(const Comparison& row, double limit) {
  if (!row.veltor.value || !row.veltor.note.empty()) return std::nullopt;
  return *row.veltor.value < limit;
}

std::optional<bool> RatioAtMost(const Comparison& row, double limit) {
  const std::optional<double> ratio = Ratio(row);
  if (!ratio) return std::nullopt;
  return *ratio <= limit;
}

std::optional<bool> WithinNcatPlus(const Comparison& row, double marginMs) {
  if (!row.veltor.value || !row.ncat.value || !row.veltor.note.empty() || !row.ncat.note.empty()) return std::nullopt;
  return *row.veltor.value <= *row.ncat.value + marginMs;
}

constexpr double kTargetStallCostPercent = 0.2;
constexpr double kTargetCpuPerMegabyteRatio = 1.5;
constexpr double kTargetIdlePercentAt100 = 0.3;
constexpr double kTargetP99MarginMs = 1.0;

// What the readings cannot tell from zero: a few scheduler slices over the
// idle window, and a page of RSS spread over the clients.
constexpr double kIdleCpuFloorPercent = 0.01;
constexpr double kMemoryPerClientFloorKiB = 1.0;

ComparisonTable BuildComparison(const std::vector<Result>& results, const std::vector<int>& counts,
                                const std::map<std::pair<PeerKind, int>, double>& perClientKiB) {
  ComparisonTable table(results);
  auto latency = [](double LatencyStats::*figure) {
    return [figure](const Result& r) { return LatencyCell(r.console, figure); };
  };
  for (const int c : counts) {
    table.Add("console_latency_p50", "latency p50, console rate", c, "ms", 2, true, latency(&LatencyStats::p50Ms));
    table.Add("console_latency_p99", "latency p99, console rate", c, "ms", 2, true, latency(&LatencyStats::p99Ms));
    if (c == 20) {
      table.Target("≤ ncat + 1 ms", [](const Comparison& row) { return WithinNcatPlus(row, kTargetP99MarginMs); });
    }
  }
  for (const int c : counts) {
    table.Add("console_cpu_per_mb", "CPU ms per delivered MB, console rate (64 B × 50/s)", c, "ms", 0, true,
              [](const Result& r) { return Value(r.console.CpuMsPerMB()); });
    if (c == 20 || c == 100) {
      table.Target("≤ 1.5 × ncat", [](const Comparison& row) { return RatioAtMost(row, kTargetCpuPerMegabyteRatio); });
    }
    table.Add("busy_cpu_per_mb", "CPU ms per delivered MB, busy (960 B × 50/s)", c, "ms", 1, true,
              [](const Result& r) { return Value(r.busy.CpuMsPerMB()); });
    if (c == 20 || c == 100) {
      table.Target("≤ 1.5 × ncat", [](const Comparison& row) { return RatioAtMost(row, kTargetCpuPerMegabyteRatio); });
    }
  }
  for (const int c : counts) {
    table.Add("idle_cpu", "idle CPU, % of one core", c, "%", 3, true,
              [](const Result& r) { return Value(r.idle.cpu.percent); }, kIdleCpuFloorPercent);
    if (c == 100) {
      table.Target("≤ 0.3 %", [](const Comparison& row) { return AtMost(row, kTargetIdlePercentAt100); });
    }
  }
  auto starvedNote = [](const Result& r, Cell cell) {
    if (r.stall.starved) cell.note = "healthy clients starved";
    return cell;
  };
  for (const int c : counts) {
    table.Add("stalled_idle_cpu", "idle CPU with one client stopped, % of one core", c, "%", 3, true,
              [&](const Result& r) { return starvedNote(r, Value(r.stall.idle.cpu.percent)); }, kIdleCpuFloorPercent);
    table.Add("stalled_cost_idle", "cost of a stopped client, idle (with − without)", c, "%", 3, false,
              [&](const Result& r) { return starvedNote(r, Value(r.stall.idle.cpu.percent - r.idle.cpu.percent)); });
    table.Target("< 0.2 %", [](const Comparison& row) { return Below(row, kTargetStallCostPercent); });
    table.Add("stalled_cost_console", "cost of a stopped client, console rate (with − without)", c, "%", 3, false,
              [&](const Result& r) {
                return starvedNote(r, Value(r.stall.console.cpu.percent - r.console.cpu.percent));
              });
    table.Add("stalled_latency_p99", "healthy clients' latency p99, one client stopped", c, "ms", 2, true,
              [](const Result& r) { return LatencyCell(r.stall.console, &LatencyStats::p99Ms); });
  }
  for (const int c : counts) {
    // Not a comparison: the relay is capped near 100 kB/s a client by design.
    table.Add("throughput_mean", "throughput per client, flat out (Veltor capped by design)", c, "kB/s", 1, false,
              [](const Result& r) { return Value(r.throughputMeanKBps); });
  }
  for (const int c : counts) {
    if (c == 1) continue;
    table.Add("memory_per_idle_client", "memory per idle client beyond the first", c, "KiB", 1, true,
              [&perClientKiB, c](const Result& r) {
                const auto per = perClientKiB.find({r.peer, c});
                return per == perClientKiB.end() ? Cell{std::nullopt, "needs the 1-client run"} : Value(per->second);
              },
              kMemoryPerClientFloorKiB);
  }
  return table;
}

// ---------------------------------------------------------------- options

std::vector<int> ParseCounts(const std::string& list) {
  std::vector<int> counts;
  std::istringstream in(list);
  std::string item;
  while (std::getline(in, item, ',')) {
    const int value = std::atoi(item.c_str());
    if (value < 1) throw std::runtime_error("client counts must be positive: " + list);
    counts.push_back(value);
  }
  return counts;
}

std::vector<PeerKind> ParsePeers(const std::string& word) {
  if (word == "veltor") return {PeerKind::kVeltor};
  if (word == "ncat") return {PeerKind::kNcat};
  if (word == "both") return {PeerKind::kVeltor, PeerKind::kNcat};
  throw std::runtime_error("--peer takes veltor, ncat or both, not " + word);
}

// The path of an executable named on the command line or found on PATH; empty if none.
std::string FindExecutable(const std::string& name) {
  if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path == nullptr ? "/usr/bin:/bin" : path);
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

bool Wants(const Options& options, PeerKind kind) {
  return std::find(options.peers.begin(), options.peers.end(), kind) != options.peers.end();
}

int Usage() {
  std::fprintf(stderr,
               "usage: veltor-fanout-bench [options] [RELAY_BINARY]\n"
               "  --peer veltor|ncat|both   what to measure (default both; veltor needs RELAY_BINARY)\n"
               "  --ncat PATH               the ncat to compare with (default: ncat on PATH)\n"
               "  --clients LIST            client counts to run, comma-separated (default 1,20,100)\n"
               "  --latency-seconds S       length of each paced run (default 10)\n"
               "  --throughput-seconds S    length of the flat-out run (default 8)\n"
               "  --idle-seconds S          length of each idle CPU sample (default 10)\n"
               "  --keep-files              keep the generated configs and peer logs\n");
  return 2;
}

// Parses the command line; a usage error comes back as a message.
std::optional<std::string> ParseOptions(int argc, char** argv, Options& options) {
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto next = [&]() -> std::string {
        if (i + 1 >= argc) throw std::runtime_error("missing value after " + arg);
        return argv[++i];
      };
      if (arg == "--clients") options.counts = ParseCounts(next());
      else if (arg == "--peer") options.peers = ParsePeers(next());
      else if (arg == "--ncat") options.ncat = next();
      else if (arg == "--latency-seconds") options.latencySeconds = std::stod(next());
      else if (arg == "--throughput-seconds") options.throughputSeconds = std::stod(next());
      else if (arg == "--idle-seconds") options.idleSeconds = std::stod(next());
      else if (arg == "--keep-files") options.keepFiles = true;
      else if (!arg.empty() && arg[0] != '-' && options.relay.empty()) options.relay = arg;
      else return "unknown argument " + arg;
    }
  } catch (const std::exception& error) {
    return error.what();
  }
  if (options.latencySeconds <= 0 || options.throughputSeconds <= 0 || options.idleSeconds <= 0) {
    return "durations must be positive";
  }
  if (Wants(options, PeerKind::kVeltor)) {
    if (options.relay.empty()) return "the relay binary is missing";
    if (::access(options.relay.c_str(), X_OK) != 0) return options.relay + " is not an executable";
  }
  if (Wants(options, PeerKind::kNcat)) {
    const std::string found = FindExecutable(options.ncat);
    if (found.empty()) return "ncat not found (" + options.ncat + "); it comes in the Debian package ncat";
    options.ncat = found;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- the run

// Both peers run at once for one client count, and each measurement is taken
// for one right after the other, so both meet the same machine. The stalled
// case comes last for each, and each stops right after it: a stopped client
// keeps costing until its peer stops, which the other peer should not meet.
void RunCount(const Options& options, int count, const std::filesystem::path& work, std::vector<Result>& results) {
  std::vector<std::unique_ptr<PeerRun>> runs;
  for (const PeerKind kind : options.peers) runs.push_back(std::make_unique<PeerRun>(options, kind, count, work));
  auto tellCompanions = [&runs] {
    for (const auto& run : runs) {
      std::vector<pid_t> others;
      for (const auto& other : runs) {
        if (other != run && other->Pid() > 0) others.push_back(other->Pid());
      }
      run->SetCompanions(others);
    }
  };
  tellCompanions();
  for (const auto& run : runs) run->Admit();
  SleepFor(kSettleTime);  // the last admissions' work dies down before the idle samples
  const std::vector<void (PeerRun::*)()> phases{&PeerRun::MeasureIdle, &PeerRun::MeasureConsole,
                                                &PeerRun::MeasureBusy, &PeerRun::MeasureThroughput};
  for (const auto phase : phases) {
    for (const auto& run : runs) ((*run).*phase)();
  }
  for (const auto& run : runs) {
    run->MeasureStalled();
    run->Finish();
    tellCompanions();
    results.push_back(run->Outcome());
    PrintResult(results.back());
    std::fflush(stdout);
  }
}

// Memory per idle client beyond the first, from each peer's one-client run.
std::map<std::pair<PeerKind, int>, double> MemoryPerClient(const std::vector<Result>& results) {
  std::map<std::pair<PeerKind, int>, double> perClient;
  for (const Result& single : results) {
    if (single.clients != 1) continue;
    for (const Result& r : results) {
      if (r.peer == single.peer && r.clients > 1) {
        perClient[{r.peer, r.clients}] = static_cast<double>(r.idle.rssKiB - single.idle.rssKiB) / (r.clients - 1);
      }
    }
  }
  return perClient;
}

// How busy the rest of the machine was across every figure of the run.
struct LoadRange {
  double least = 0;
  double mean = 0;
  double most = 0;
};

LoadRange BackgroundLoadRange(const std::vector<Result>& results) {
  std::vector<double> loads;
  for (const Result& r : results) {
    for (const double load : {r.idle.load, r.console.load, r.busy.load, r.throughputLoad, r.stall.idle.load,
                              r.stall.console.load}) {
      loads.push_back(load);
    }
  }
  LoadRange range;
  if (loads.empty()) return range;
  range.least = *std::min_element(loads.begin(), loads.end());
  range.most = *std::max_element(loads.begin(), loads.end());
  double sum = 0;
  for (const double load : loads) sum += load;
  range.mean = sum / static_cast<double>(loads.size());
  return range;
}

void PrintSummary(const Options& options, const std::vector<Result>& results) {
  const auto perClient = MemoryPerClient(results);
  std::printf("\n== summary ==\n");
  std::printf("  %-7s %7s %8s %8s %9s %9s %9s %9s %10s %11s %9s\n", "peer", "clients", "p50 ms", "p99 ms", "idle %",
              "con ms/MB", "busy ms/MB", "stall +%", "stall p99", "mean kB/s", "RSS KiB");
  for (const Result& r : results) {
    char stallP99[32];
    if (Starved(r.stall.console)) std::snprintf(stallP99, sizeof stallP99, "starved");
    else std::snprintf(stallP99, sizeof stallP99, "%.3f", r.stall.console.latency.p99Ms);
    std::printf("  %-7s %7d %8.3f %8.3f %9.3f %9.1f %9.1f %9.3f %10s %11.1f %9lld\n", PeerName(r.peer), r.clients,
                r.console.latency.p50Ms, r.console.latency.p99Ms, r.idle.cpu.percent, r.console.CpuMsPerMB(),
                r.busy.CpuMsPerMB(), r.stall.idle.cpu.percent - r.idle.cpu.percent, stallP99, r.throughputMeanKBps,
                static_cast<long long>(r.idle.rssKiB));
  }
  std::printf("\n");
  for (const Result& r : results) {
    std::map<int, double> own;
    for (const auto& [key, value] : perClient) {
      if (key.first == r.peer) own[key.second] = value;
    }
    PrintMetrics(r, own);
  }
  std::vector<int> counts;
  for (const int c : options.counts) {
    if (std::find(counts.begin(), counts.end(), c) == counts.end()) counts.push_back(c);
  }
  const ComparisonTable table = BuildComparison(results, counts, perClient);
  std::printf("\n");
  table.PrintPlain();
  const LoadRange load = BackgroundLoadRange(results);
  std::printf("LOAD metric=background_load min=%.2f mean=%.2f max=%.2f unit=cores\n", load.least, load.mean,
              load.most);
  std::printf("\n== side by side (Markdown) ==\n\n");
  table.PrintMarkdown();
  std::printf("\nOther processes used %.2f to %.2f cores (mean %.2f) during the measurements.\n", load.least,
              load.most, load.mean);
  std::printf("\nCPU is the scheduler's accounting of all the peer's threads; a megabyte is 10^6 bytes received by\n"
              "the clients together. Other processes' load during each figure is in the BENCH lines.\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const std::optional<std::string> error = ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "veltor-fanout-bench: %s\n", error->c_str());
    return Usage();
  }

  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction stop{};
  stop.sa_handler = OnInterrupt;
  ::sigaction(SIGINT, &stop, nullptr);
  ::sigaction(SIGTERM, &stop, nullptr);

  char workTemplate[] = "/tmp/veltor-bench-XXXXXX";
  if (::mkdtemp(workTemplate) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::filesystem::path work(workTemplate);

  PrintMachine();
  std::printf("peers:");
  for (const PeerKind kind : options.peers) {
    std::printf(" %s (%s)", PeerName(kind), kind == PeerKind::kVeltor ? options.relay.c_str() : options.ncat.c_str());
  }
  std::printf("\n");
  std::vector<Result> results;
  int status = 0;
  try {
    for (const int count : options.counts) RunCount(options, count, work, results);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "\nveltor-fanout-bench: %s (peer logs kept in %s)\n", error.what(), work.c_str());
    options.keepFiles = true;
    status = 1;
  }
  if (!results.empty()) PrintSummary(options, results);

  if (!options.keepFiles) {
    std::error_code ignored;
    std::filesystem::remove_all(work, ignored);
  }
  return status;
}
