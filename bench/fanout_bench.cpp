// veltor-fanout-bench: measures how the relay fans one server stream out to many
// clients. This process plays both ends: a source server on 127.0.0.1 that the
// relay connects to, and N clients read by one epoll thread, so the benchmark
// itself stays cheap next to the relay it measures. The relay runs as a child
// process with a generated configuration, once per client count.
//
// Every byte the source sends belongs to a 64-byte record carrying a sequence
// number and the CLOCK_MONOTONIC time at which it was handed to send(); clients
// check the sequence and compute each probe's delivery latency on arrival.
//
// Per client count, after admitting every client (one a second):
//   idle        relay CPU and memory with no traffic
//   latency     64-byte probes, 50 a second: delivery latency p50/p99/max
//   throughput  the source writes as fast as the relay takes: bytes/s per client
//   stalled     one more client that never reads (tiny receive buffer), then
//               the latency run again: what the stalled client costs the others
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

constexpr int kProbesPerSecond = 50;
constexpr size_t kFloodAheadBytes = 128 * 1024;  // source stays this far ahead of the slowest client
constexpr uint64_t kStallPrefillStepBytes = 128 * 1024;
constexpr uint64_t kStallPrefillLimitBytes = 16 * 1024 * 1024;
constexpr Ns kSettleTime = 2 * kSec;              // quiet time after admission before idle sampling

volatile sig_atomic_t gInterrupted = 0;
void OnInterrupt(int) { gInterrupted = 1; }

Ns NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<Ns>(now.tv_sec) * kSec + now.tv_nsec;
}

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

// The relay binds its listen port itself, so it is handed one that was free a
// moment ago: bound to port 0 here, read back, released.
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

// Writes all of a block to a non-blocking socket, giving up at the deadline.
void SendAllBefore(int fd, const uint8_t* bytes, size_t length, Ns deadline) {
  while (length > 0) {
    const ssize_t sent = ::send(fd, bytes, length, MSG_NOSIGNAL);
    if (sent > 0) {
      bytes += sent;
      length -= static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      throw std::runtime_error(Errno("send to relay"));
    }
    if (NowNs() >= deadline) throw std::runtime_error("relay took no data from the source for too long");
    pollfd entry{fd, POLLOUT, 0};
    ::poll(&entry, 1, 10);
  }
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

// All healthy clients, read by one epoll thread.
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

class Source {
 public:
  Source() : listen_(ListenOnLoopback()) {}

  uint16_t Port() const { return LocalPort(listen_.Get()); }
  uint64_t SentBytes() const { return sentBytes_; }

  void AcceptRelay(Ns deadline) {
    link_ = AcceptWithin(listen_.Get(), deadline);
    if (!link_.Valid()) throw std::runtime_error("the relay did not connect to the source server");
  }

  // One probe, stamped as late as possible before it is handed to the socket.
  void SendProbe() {
    uint8_t record[kRecordBytes];
    const Ns now = NowNs();
    BuildRecord(record, kProbe, nextSequence_++, now);
    SendAllBefore(link_.Get(), record, sizeof record, now + 5 * kSec);
    sentBytes_ += sizeof record;
    DiscardUpstream();
  }

  // Writes filler records as fast as the relay takes them until `until` or
  // until `byteLimit` more bytes went out, whichever comes first. The source
  // never runs more than kFloodAheadBytes ahead of the slowest client, so the
  // relay always has a full chunk waiting while the backlog to drain afterwards
  // stays around a second.
  void Flood(const ClientSet& clients, Ns until, uint64_t byteLimit) {
    constexpr size_t kBatchRecords = 16;
    std::vector<uint8_t> pending;
    size_t offset = 0;
    const uint64_t limit = byteLimit > UINT64_MAX - sentBytes_ ? UINT64_MAX : sentBytes_ + byteLimit;
    const Ns hardDeadline = until + 30 * kSec;
    for (;;) {
      const Ns now = NowNs();
      if (now >= hardDeadline) throw std::runtime_error("flood did not finish in time");
      if (offset == pending.size()) {
        pending.clear();
        offset = 0;
        if (now >= until || sentBytes_ >= limit) return;
        CheckInterrupted();
        if (sentBytes_ - clients.MinReceived() >= kFloodAheadBytes) {
          SleepUntil(now + 200 * kUs);
          continue;
        }
        const size_t records = std::min<uint64_t>(kBatchRecords, (limit - sentBytes_) / kRecordBytes);
        if (records == 0) return;
        pending.resize(records * kRecordBytes);
        for (size_t i = 0; i < records; ++i) BuildRecord(&pending[i * kRecordBytes], kFiller, nextSequence_++, now);
      }
      const ssize_t sent = ::send(link_.Get(), pending.data() + offset, pending.size() - offset, MSG_NOSIGNAL);
      if (sent > 0) {
        offset += static_cast<size_t>(sent);
        sentBytes_ += static_cast<uint64_t>(sent);
        continue;
      }
      if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        throw std::runtime_error(Errno("send to relay"));
      }
      pollfd entry{link_.Get(), POLLOUT, 0};
      ::poll(&entry, 1, 5);
      DiscardUpstream();
    }
  }

 private:
  // Clients send nothing, but anything the relay forwards is read and dropped
  // so the relay's own sends to the source never stall.
  void DiscardUpstream() {
    uint8_t sink[4096];
    while (::recv(link_.Get(), sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
  }

  Fd listen_;
  Fd link_;
  uint64_t nextSequence_ = 0;
  uint64_t sentBytes_ = 0;
};

// Waits until every client has received all the source sent; false at the deadline.
bool WaitDelivered(const ClientSet& clients, const Source& source, Ns deadline) {
  while (clients.MinReceived() < source.SentBytes()) {
    if (NowNs() >= deadline) return false;
    CheckInterrupted();
    SleepUntil(NowNs() + 2 * kMs);
  }
  return true;
}

// ---------------------------------------------------------------- the relay process

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class RelayProcess {
 public:
  RelayProcess(const std::string& binary, const std::string& configPath, const std::string& outPath,
               const std::string& errPath)
      : errPath_(errPath) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error(Errno("pipe2"));
    Fd inRead(input[0]);
    Fd outWrite(output[1]);
    stdin_ = Fd(input[1]);
    stdout_ = Fd(output[0]);
    outLog_ = std::fopen(outPath.c_str(), "w");
    if (outLog_ == nullptr) throw std::runtime_error(Errno("open " + outPath));

    // Everything the child needs is prepared before fork: after it, only
    // async-signal-safe calls run in the child.
    std::vector<char*> argv{const_cast<char*>(binary.c_str()), const_cast<char*>(configPath.c_str()), nullptr};
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error(Errno("fork"));
    if (pid_ == 0) {
      // The relay must not outlive the benchmark, however it ends.
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(126);
      const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (err < 0 || ::dup2(inRead.Get(), 0) < 0 || ::dup2(outWrite.Get(), 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
      ::execv(binary.c_str(), argv.data());
      ::_exit(127);
    }
    reader_ = std::thread([this] { ReadOutput(); });
  }

  ~RelayProcess() { Stop(); }
  RelayProcess(const RelayProcess&) = delete;
  RelayProcess& operator=(const RelayProcess&) = delete;

  pid_t Pid() const { return pid_; }
  int Accepted() const { return accepted_.load(); }
  int Disconnected() const { return disconnected_.load(); }

  bool WaitAccepted(int count, Ns deadline) const {
    while (accepted_.load() < count) {
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

  // Asks the relay for its status table and returns the largest "Queued" figure
  // in it: bytes the relay holds for a client that has not taken them yet.
  std::optional<int64_t> LargestQueued() {
    const size_t before = ReadFile(errPath_).size();
    SendKey('S');
    const Ns deadline = NowNs() + 3 * kSec;
    while (NowNs() < deadline) {
      SleepUntil(NowNs() + 50 * kMs);
      const std::string text = ReadFile(errPath_);
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

  // ESC first, as an operator would; then SIGTERM; SIGKILL as the last resort.
  std::string Stop() {
    if (pid_ <= 0) return status_;
    SendKey('\x1b');
    const struct {
      int signal;
      Ns grace;
    } steps[] = {{0, 10 * kSec}, {SIGTERM, 5 * kSec}, {SIGKILL, 5 * kSec}};
    int status = 0;
    bool reaped = false;
    for (const auto& step : steps) {
      if (step.signal != 0) ::kill(pid_, step.signal);
      const Ns deadline = NowNs() + step.grace;
      while (!reaped && NowNs() < deadline) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno == ECHILD)) reaped = true;
        if (!reaped) SleepUntil(NowNs() + 10 * kMs);
      }
      if (reaped) {
        status_ = step.signal == 0 ? "" : (step.signal == SIGTERM ? "needed SIGTERM" : "needed SIGKILL");
        break;
      }
    }
    if (!reaped) status_ = "could not be reaped";
    else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
      status_ += (status_.empty() ? "" : ", ") + std::string("exit status ") + std::to_string(WEXITSTATUS(status));
    else if (WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL)
      status_ += (status_.empty() ? "" : ", ") + std::string("signal ") + std::to_string(WTERMSIG(status));
    pid_ = -1;
    exited_.store(true);
    stdin_.Reset();
    if (reader_.joinable()) reader_.join();
    if (outLog_ != nullptr) std::fclose(outLog_);
    outLog_ = nullptr;
    return status_;
  }

 private:
  void ReadOutput() {
    std::string line;
    char buffer[4096];
    for (;;) {
      pollfd entry{stdout_.Get(), POLLIN, 0};
      if (::poll(&entry, 1, 100) <= 0) {
        if (exited_.load()) break;  // the child is gone and nothing is left to read
        continue;
      }
      const ssize_t got = ::read(stdout_.Get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      std::fwrite(buffer, 1, static_cast<size_t>(got), outLog_);
      std::fflush(outLog_);
      for (ssize_t i = 0; i < got; ++i) {
        if (buffer[i] != '\n') {
          line.push_back(buffer[i]);
          continue;
        }
        if (line.find("accepted:") != std::string::npos) accepted_.fetch_add(1);
        if (line.find("Disc:") != std::string::npos) disconnected_.fetch_add(1);
        line.clear();
      }
    }
  }

  std::string errPath_;
  Fd stdin_;
  Fd stdout_;
  FILE* outLog_ = nullptr;
  pid_t pid_ = -1;
  std::string status_;
  std::atomic<int> accepted_{0};
  std::atomic<int> disconnected_{0};
  std::atomic<bool> exited_{false};
  std::thread reader_;
};

// ---------------------------------------------------------------- /proc sampling

struct CpuSample {
  uint64_t ticks = 0;  // utime + stime of every thread, in clock ticks
  Ns at = 0;
};

CpuSample SampleCpu(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) throw std::runtime_error("cannot read the relay's /proc stat");
  std::istringstream fields(stat.substr(close + 2));
  std::vector<std::string> values;
  std::string value;
  while (fields >> value) values.push_back(value);
  // After "pid (comm)": state is field 3, so utime (14) and stime (15) sit at 11 and 12.
  if (values.size() < 13) throw std::runtime_error("short /proc stat line");
  return {std::stoull(values[11]) + std::stoull(values[12]), NowNs()};
}

// Time on CPU per thread, in nanoseconds, from the scheduler's own accounting:
// finer than the clock ticks of /proc/<pid>/stat, and it tells the main thread
// from the client workers.
struct ThreadTimes {
  uint64_t mainNs = 0;
  uint64_t workersNs = 0;
  uint64_t mainRuns = 0;     // times scheduled in, roughly one per wake-up
  uint64_t workersRuns = 0;
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
    (main ? times.mainNs : times.workersNs) += onCpu;
    (main ? times.mainRuns : times.workersRuns) += runs;
  }
  return times;
}

// The machine is shared: what other processes burn while a figure is taken is
// measured alongside it, so a noisy figure can be told from a slow relay.
class BackgroundLoad {
 public:
  explicit BackgroundLoad(pid_t relay) : relay_(relay) { Take(start_); }

  // Cores' worth of CPU used by everything except the relay and this benchmark.
  double Cores() const {
    Sample end;
    Take(end);
    // Each counter is sampled at a slightly different moment, so the difference
    // can come out a tick or two below zero on a quiet machine.
    const double others = static_cast<double>(end.machine - start_.machine) -
                          static_cast<double>(end.relay - start_.relay) - static_cast<double>(end.self - start_.self);
    const double seconds = static_cast<double>(end.at - start_.at) / kSec;
    return std::max(0.0, others / static_cast<double>(::sysconf(_SC_CLK_TCK)) / seconds);
  }

 private:
  struct Sample {
    uint64_t machine = 0;  // busy ticks of all CPUs
    uint64_t relay = 0;
    uint64_t self = 0;
    Ns at = 0;
  };

  void Take(Sample& sample) const {
    std::istringstream line(ReadFile("/proc/stat"));
    std::string label;
    line >> label;
    uint64_t value = 0;
    for (int field = 0; field < 8 && line >> value; ++field) {
      if (field != 3 && field != 4) sample.machine += value;  // all but idle and iowait
    }
    sample.relay = SampleCpu(relay_).ticks;
    sample.self = SampleCpu(::getpid()).ticks;
    sample.at = NowNs();
  }

  pid_t relay_;
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

struct Options {
  std::string relay;
  std::vector<int> counts{1, 20, 100};
  double latencySeconds = 10;
  double throughputSeconds = 8;
  double idleSeconds = 10;
  bool keepFiles = false;
};

struct Result {
  int clients = 0;
  double admitSeconds = 0;
  double idleCpuPercent = 0;
  double idleMainPercent = 0;     // from the scheduler's accounting
  double idleWorkersPercent = 0;
  double idleMainWakeups = 0;     // per second
  double idleWorkerWakeups = 0;   // per second, all workers together
  int64_t idleRssKiB = 0;
  int64_t threads = 0;
  LatencyStats latency;
  double throughputMinKBps = 0;
  double throughputMeanKBps = 0;
  double throughputWindowSeconds = 0;
  LatencyStats stalledLatency;
  int64_t stalledQueuedBytes = -1;  // held by the relay once the prefill stalled the worker
  int64_t stalledQueuedAfter = -1;   // and after the console-rate run
  uint64_t stallPrefillBytes = 0;
  int64_t stalledReceiveQueue = 0;   // bytes waiting in the stalled client's own socket
  // Cores used by other processes on the machine during each measurement.
  double loadIdle = 0;
  double loadLatency = 0;
  double loadThroughput = 0;
  double loadStalled = 0;
  int64_t peakRssKiB = 0;
  uint64_t recordErrors = 0;
  size_t clientsLost = 0;
  int discLines = 0;
  bool undelivered = false;
  std::string relayExit;
};

Ns Seconds(double seconds) { return static_cast<Ns>(seconds * static_cast<double>(kSec)); }

// Probes at the console rate for the given time; returns the latency figures.
LatencyStats ConsoleRun(Source& source, ClientSet& clients, double seconds, bool& undelivered) {
  const int probes = static_cast<int>(seconds * kProbesPerSecond);
  clients.StartRecording();
  const Ns start = NowNs() + 10 * kMs;
  for (int i = 0; i < probes; ++i) {
    SleepUntil(start + static_cast<Ns>(i) * (kSec / kProbesPerSecond));
    CheckInterrupted();
    source.SendProbe();
  }
  if (!WaitDelivered(clients, source, NowNs() + 10 * kSec)) undelivered = true;
  return Summarise(clients.StopRecording(), static_cast<size_t>(probes) * clients.Size());
}

void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Progress(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fflush(stderr);
}

Result RunOne(const Options& options, int count, const std::filesystem::path& work) {
  Result result;
  result.clients = count;

  Source source;
  const uint16_t listenPort = FreeLoopbackPort();
  const std::string config = (work / ("relay-" + std::to_string(count) + ".conf")).string();
  {
    std::ofstream out(config);
    out << "# generated by veltor-fanout-bench: no greeting, every loopback client admitted\n"
        << "127.0.0.1\n"
        << source.Port() << "\n"
        << listenPort << "\n"
        << count + 10 << "\n"
        << "Y, 127.0.0.1, 255.255.255.255, Y, 0, Y\n";
  }
  RelayProcess relay(options.relay, config, (work / ("relay-" + std::to_string(count) + ".out")).string(),
                     (work / ("relay-" + std::to_string(count) + ".err")).string());
  source.AcceptRelay(NowNs() + 10 * kSec);

  ClientSet clients;
  // The relay admits one client a second; connecting one at a time keeps the
  // listen backlog short and tells which connection each "accepted" line is for.
  const Ns admitStart = NowNs();
  for (int i = 0; i < count; ++i) {
    const int want = relay.Accepted() + 1;
    const Ns deadline = NowNs() + 10 * kSec;
    Fd fd;
    while (!fd.Valid()) {
      CheckInterrupted();
      if (NowNs() >= deadline) throw std::runtime_error("could not connect to the relay's listen port");
      fd = ConnectLoopback(listenPort, deadline);
      if (!fd.Valid()) SleepUntil(NowNs() + 50 * kMs);
    }
    clients.Add(std::move(fd));
    if (!relay.WaitAccepted(want, NowNs() + 5 * kSec)) throw std::runtime_error("the relay did not admit a client");
    Progress("\r  N=%d: admitted %d/%d", count, i + 1, count);
  }
  result.admitSeconds = static_cast<double>(NowNs() - admitStart) / kSec;
  Progress("  (%.1f s)\n", result.admitSeconds);

  // Idle: no server traffic at all.
  SleepFor(kSettleTime);
  Progress("  N=%d: idle sampling %.0f s\n", count, options.idleSeconds);
  const BackgroundLoad idleLoad(relay.Pid());
  const ThreadTimes threadsBefore = SampleThreads(relay.Pid());
  const CpuSample before = SampleCpu(relay.Pid());
  SleepFor(Seconds(options.idleSeconds));
  const CpuSample after = SampleCpu(relay.Pid());
  const ThreadTimes threadsAfter = SampleThreads(relay.Pid());
  {
    const double seconds = static_cast<double>(after.at - before.at) / kSec;
    result.idleMainPercent = 100.0 * static_cast<double>(threadsAfter.mainNs - threadsBefore.mainNs) / kSec / seconds;
    result.idleWorkersPercent =
        100.0 * static_cast<double>(threadsAfter.workersNs - threadsBefore.workersNs) / kSec / seconds;
    result.idleMainWakeups = static_cast<double>(threadsAfter.mainRuns - threadsBefore.mainRuns) / seconds;
    result.idleWorkerWakeups = static_cast<double>(threadsAfter.workersRuns - threadsBefore.workersRuns) / seconds;
  }
  result.loadIdle = idleLoad.Cores();
  const double ticksPerSecond = static_cast<double>(::sysconf(_SC_CLK_TCK));
  result.idleCpuPercent = 100.0 * (static_cast<double>(after.ticks - before.ticks) / ticksPerSecond) /
                          (static_cast<double>(after.at - before.at) / kSec);
  result.idleRssKiB = StatusField(relay.Pid(), "VmRSS");
  result.threads = StatusField(relay.Pid(), "Threads");

  Progress("  N=%d: console-rate latency %.0f s\n", count, options.latencySeconds);
  {
    const BackgroundLoad load(relay.Pid());
    result.latency = ConsoleRun(source, clients, options.latencySeconds, result.undelivered);
    result.loadLatency = load.Cores();
  }

  Progress("  N=%d: throughput %.0f s\n", count, options.throughputSeconds);
  {
    // The first second fills the pipeline; only the steady state after it counts.
    const Ns start = NowNs();
    const Ns end = start + Seconds(options.throughputSeconds);
    const Ns warm = start + std::min<Ns>(kSec, (end - start) / 4);
    source.Flood(clients, warm, UINT64_MAX);
    const BackgroundLoad load(relay.Pid());
    const std::vector<uint64_t> first = clients.Received();
    const Ns firstAt = NowNs();
    source.Flood(clients, end, UINT64_MAX);
    const std::vector<uint64_t> last = clients.Received();
    const Ns lastAt = NowNs();
    result.loadThroughput = load.Cores();
    const double window = static_cast<double>(lastAt - firstAt) / kSec;
    double least = 1e300;
    double sum = 0;
    for (size_t i = 0; i < first.size(); ++i) {
      const double rate = static_cast<double>(last[i] - first[i]) / window / 1000.0;
      least = std::min(least, rate);
      sum += rate;
    }
    result.throughputMinKBps = least;
    result.throughputMeanKBps = sum / static_cast<double>(first.size());
    result.throughputWindowSeconds = window;
    if (!WaitDelivered(clients, source, NowNs() + 30 * kSec)) result.undelivered = true;
  }

  Progress("  N=%d: one client stops reading\n", count);
  // Kept open until the relay has stopped, so the relay never sees it go.
  Fd stalled;
  {
    const int want = relay.Accepted() + 1;
    const Ns deadline = NowNs() + 10 * kSec;
    while (!stalled.Valid() && NowNs() < deadline) {
      stalled = ConnectLoopback(listenPort, deadline, 1);  // the kernel rounds it up to its minimum
      if (!stalled.Valid()) SleepUntil(NowNs() + 50 * kMs);
    }
    if (!stalled.Valid() || !relay.WaitAccepted(want, NowNs() + 5 * kSec)) {
      throw std::runtime_error("the relay did not admit the stalled client");
    }
    // The kernel buffers on the stalled client's path grow to megabytes before
    // the relay's send to it blocks. Data goes out in steps until the relay
    // reports bytes it holds for that client: from then on its worker is caught
    // in a send that cannot finish, which is the case to measure.
    result.stalledQueuedBytes = 0;
    while (result.stalledQueuedBytes <= 0 && result.stallPrefillBytes < kStallPrefillLimitBytes) {
      source.Flood(clients, NowNs() + 20 * kSec, kStallPrefillStepBytes);
      result.stallPrefillBytes += kStallPrefillStepBytes;
      if (!WaitDelivered(clients, source, NowNs() + 30 * kSec)) result.undelivered = true;
      SleepFor(50 * kMs);
      result.stalledQueuedBytes = relay.LargestQueued().value_or(-1);
    }
    int pending = 0;
    ::ioctl(stalled.Get(), FIONREAD, &pending);
    result.stalledReceiveQueue = pending;
    SleepFor(200 * kMs);
    const BackgroundLoad load(relay.Pid());
    result.stalledLatency = ConsoleRun(source, clients, options.latencySeconds, result.undelivered);
    result.loadStalled = load.Cores();
    result.stalledQueuedAfter = relay.LargestQueued().value_or(-1);
  }

  result.peakRssKiB = StatusField(relay.Pid(), "VmHWM");
  result.recordErrors = clients.Errors();
  result.clientsLost = clients.Closed();
  result.discLines = relay.Disconnected();
  clients.StopReading();
  result.relayExit = relay.Stop();
  return result;
}

// ---------------------------------------------------------------- report

void PrintMachine() {
  utsname name{};
  ::uname(&name);
  std::printf("Relay fan-out benchmark: %ld CPUs online, kernel %s %s\n", ::sysconf(_SC_NPROCESSORS_ONLN),
              name.sysname, name.release);
}

void PrintResult(const Result& r) {
  std::printf("\n== %d client%s (admitted in %.1f s) ==\n", r.clients, r.clients == 1 ? "" : "s", r.admitSeconds);
  std::printf("  %-38s %9s %9s %9s %14s\n", "delivery latency, 64 B at 50/s", "p50 ms", "p99 ms", "max ms",
              "samples");
  auto latencyRow = [](const char* label, const LatencyStats& s) {
    std::printf("  %-38s %9.3f %9.3f %9.3f %7zu/%-6zu\n", label, s.p50Ms, s.p99Ms, s.maxMs, s.samples, s.expected);
  };
  latencyRow("all clients reading", r.latency);
  latencyRow("one more client stopped reading", r.stalledLatency);
  std::printf("  %-38s %9.3f %9.3f %9.3f\n", "  difference", r.stalledLatency.p50Ms - r.latency.p50Ms,
              r.stalledLatency.p99Ms - r.latency.p99Ms, r.stalledLatency.maxMs - r.latency.maxMs);
  std::printf("  %-38s %lld bytes queued in the relay after %llu KiB sent (%lld in its socket); %lld at the end\n",
              "  stopped client", static_cast<long long>(r.stalledQueuedBytes),
              static_cast<unsigned long long>(r.stallPrefillBytes / 1024), static_cast<long long>(r.stalledReceiveQueue),
              static_cast<long long>(r.stalledQueuedAfter));
  std::printf("  %-38s min %.2f kB/s, mean %.2f kB/s (over %.1f s)\n", "throughput per client, source flat out",
              r.throughputMinKBps, r.throughputMeanKBps, r.throughputWindowSeconds);
  std::printf("  %-38s CPU %.2f %% of one core, VmRSS %lld KiB, %lld threads\n", "idle relay",
              r.idleCpuPercent, static_cast<long long>(r.idleRssKiB), static_cast<long long>(r.threads));
  std::printf("  %-38s main thread %.2f %% (%.0f wake-ups/s), workers %.2f %% (%.0f wake-ups/s)\n",
              "  idle CPU by thread (schedstat)", r.idleMainPercent, r.idleMainWakeups, r.idleWorkersPercent,
              r.idleWorkerWakeups);
  std::printf("  %-38s %lld KiB\n", "peak VmRSS (VmHWM) after all runs", static_cast<long long>(r.peakRssKiB));
  std::printf("  %-38s idle %.2f, latency %.2f, throughput %.2f, stopped-client %.2f\n",
              "other processes' load (cores)", r.loadIdle, r.loadLatency, r.loadThroughput, r.loadStalled);
  std::printf("  %-38s %" PRIu64 " bad records, %zu clients closed, %d Disc lines, %s, relay exit: %s\n",
              "integrity", r.recordErrors, r.clientsLost, r.discLines,
              r.undelivered ? "SOME DATA UNDELIVERED" : "all data delivered",
              r.relayExit.empty() ? "clean" : r.relayExit.c_str());
}

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

int Usage() {
  std::fprintf(stderr,
               "usage: veltor-fanout-bench [options] RELAY_BINARY\n"
               "  --clients LIST            client counts to run, comma-separated (default 1,20,100)\n"
               "  --latency-seconds S       length of each console-rate run (default 10)\n"
               "  --throughput-seconds S    length of the flat-out run (default 8)\n"
               "  --idle-seconds S          length of the idle CPU sample (default 10)\n"
               "  --keep-files              keep the generated configs and relay logs\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      auto next = [&]() -> std::string {
        if (i + 1 >= argc) throw std::runtime_error("missing value after " + arg);
        return argv[++i];
      };
      if (arg == "--clients") options.counts = ParseCounts(next());
      else if (arg == "--latency-seconds") options.latencySeconds = std::stod(next());
      else if (arg == "--throughput-seconds") options.throughputSeconds = std::stod(next());
      else if (arg == "--idle-seconds") options.idleSeconds = std::stod(next());
      else if (arg == "--keep-files") options.keepFiles = true;
      else if (!arg.empty() && arg[0] != '-' && options.relay.empty()) options.relay = arg;
      else return Usage();
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "veltor-fanout-bench: %s\n", error.what());
    return Usage();
  }
  if (options.relay.empty() || options.latencySeconds <= 0 || options.throughputSeconds <= 0 ||
      options.idleSeconds <= 0) {
    return Usage();
  }
  if (::access(options.relay.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "veltor-fanout-bench: %s is not an executable\n", options.relay.c_str());
    return 2;
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
  std::vector<Result> results;
  int status = 0;
  try {
    for (const int count : options.counts) {
      results.push_back(RunOne(options, count, work));
      PrintResult(results.back());
      std::fflush(stdout);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "\nveltor-fanout-bench: %s (relay logs kept in %s)\n", error.what(), work.c_str());
    options.keepFiles = true;
    status = 1;
  }

  // Memory per idle client beyond the first, from the one-client run.
  std::map<int, double> perClientKiB;
  const auto single = std::find_if(results.begin(), results.end(), [](const Result& r) { return r.clients == 1; });
  if (single != results.end()) {
    for (const Result& r : results) {
      if (r.clients > 1) {
        perClientKiB[r.clients] = static_cast<double>(r.idleRssKiB - single->idleRssKiB) / (r.clients - 1);
      }
    }
  }

  if (!results.empty()) {
    std::printf("\n== summary ==\n");
    std::printf("  %7s %8s %8s %8s %9s %9s %9s %10s %10s %7s %9s %10s\n", "clients", "p50 ms", "p99 ms", "max ms",
                "stall p50", "stall p99", "stall max", "min kB/s", "mean kB/s", "CPU %", "RSS KiB", "KiB/client");
    for (const Result& r : results) {
      const auto per = perClientKiB.find(r.clients);
      std::printf("  %7d %8.3f %8.3f %8.3f %9.3f %9.3f %9.3f %10.2f %10.2f %7.2f %9lld %10s\n", r.clients,
                  r.latency.p50Ms, r.latency.p99Ms, r.latency.maxMs, r.stalledLatency.p50Ms,
                  r.stalledLatency.p99Ms, r.stalledLatency.maxMs, r.throughputMinKBps, r.throughputMeanKBps,
                  r.idleCpuPercent, static_cast<long long>(r.idleRssKiB),
                  per == perClientKiB.end() ? "-" : std::to_string(static_cast<long long>(std::lround(per->second))).c_str());
    }

    std::printf("\n");
    for (const Result& r : results) {
      auto metric = [&](const char* name, double value, const char* unit) {
        std::printf("BENCH clients=%d metric=%s value=%.3f unit=%s\n", r.clients, name, value, unit);
      };
      metric("admit_seconds", r.admitSeconds, "s");
      metric("latency_p50", r.latency.p50Ms, "ms");
      metric("latency_p99", r.latency.p99Ms, "ms");
      metric("latency_max", r.latency.maxMs, "ms");
      metric("latency_samples", static_cast<double>(r.latency.samples), "count");
      metric("latency_expected", static_cast<double>(r.latency.expected), "count");
      metric("throughput_min", r.throughputMinKBps, "kB/s");
      metric("throughput_mean", r.throughputMeanKBps, "kB/s");
      metric("stalled_latency_p50", r.stalledLatency.p50Ms, "ms");
      metric("stalled_latency_p99", r.stalledLatency.p99Ms, "ms");
      metric("stalled_latency_max", r.stalledLatency.maxMs, "ms");
      metric("stalled_latency_samples", static_cast<double>(r.stalledLatency.samples), "count");
      metric("stalled_prefill", static_cast<double>(r.stallPrefillBytes), "bytes");
      metric("stalled_queued_before", static_cast<double>(r.stalledQueuedBytes), "bytes");
      metric("stalled_queued_after", static_cast<double>(r.stalledQueuedAfter), "bytes");
      metric("idle_cpu", r.idleCpuPercent, "percent_of_one_core");
      metric("idle_cpu_main_thread", r.idleMainPercent, "percent_of_one_core");
      metric("idle_cpu_workers", r.idleWorkersPercent, "percent_of_one_core");
      metric("idle_wakeups_main_thread", r.idleMainWakeups, "per_second");
      metric("idle_wakeups_workers", r.idleWorkerWakeups, "per_second");
      metric("idle_rss", static_cast<double>(r.idleRssKiB), "KiB");
      metric("peak_rss", static_cast<double>(r.peakRssKiB), "KiB");
      metric("idle_threads", static_cast<double>(r.threads), "count");
      const auto per = perClientKiB.find(r.clients);
      if (per != perClientKiB.end()) metric("memory_per_idle_client", per->second, "KiB");
      metric("background_load_idle", r.loadIdle, "cores");
      metric("background_load_latency", r.loadLatency, "cores");
      metric("background_load_throughput", r.loadThroughput, "cores");
      metric("background_load_stalled", r.loadStalled, "cores");
      metric("record_errors", static_cast<double>(r.recordErrors), "count");
      metric("clients_lost", static_cast<double>(r.clientsLost), "count");
      metric("undelivered", r.undelivered ? 1 : 0, "bool");
    }
  }

  if (!options.keepFiles) {
    std::error_code ignored;
    std::filesystem::remove_all(work, ignored);
  }
  return status;
}
