// In-process test kit for client records and the relay passes: loopback TCP
// pairs whose one end a record owns while the test plays the other, bounded
// reads and writes on the test's end, and captured output.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "clients/ClientConnection.h"
#include "net/NetSocket.h"
#include "tests/support/Deadline.h"

namespace veltor::testing {

using namespace std::chrono_literals;
using Frames = std::vector<ClientConnection::Frame>;

// IPv4 address in host order from its four octets.
constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

inline constexpr std::chrono::milliseconds kCap = 5000ms;

// A descriptor the test owns.
class PeerFd {
 public:
  explicit PeerFd(int fd = -1) : fd_(fd) {}
  ~PeerFd() { Close(); }
  PeerFd(PeerFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  PeerFd& operator=(PeerFd&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // An abortive close: the other end sees a reset instead of an orderly end.
  void Reset() {
    const linger abortive{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    Close();
  }

 private:
  int fd_;
};

struct BufferSizes {
  int peerReceive = 0;  // 0: the kernel's default
  int relaySend = 0;
};

// A connected loopback TCP pair: `relay` is the end a record owns (non-blocking,
// as admission hands it over), `peer` the client the test plays.
struct LoopbackPair {
  std::unique_ptr<NetSocket> relay;
  PeerFd peer;
};

inline LoopbackPair MakePair(BufferSizes sizes = {}) {
  LoopbackPair pair;
  PeerFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (listener.get() < 0 || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 1) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return pair;
  }
  PeerFd peer(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (peer.get() < 0) return pair;
  // The receive window is settled in the handshake, so its size goes on first.
  if (sizes.peerReceive > 0) {
    ::setsockopt(peer.get(), SOL_SOCKET, SO_RCVBUF, &sizes.peerReceive, sizeof sizes.peerReceive);
  }
  if (::connect(peer.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return pair;
  const int accepted = ::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
  if (accepted < 0) return pair;
  auto relay = std::make_unique<NetSocket>(accepted);
  if (!relay->SetNonBlocking()) return pair;
  if (sizes.relaySend > 0) {
    ::setsockopt(accepted, SOL_SOCKET, SO_SNDBUF, &sizes.relaySend, sizeof sizes.relaySend);
  }
  // The test's end only ever waits in poll() against a deadline.
  if (::fcntl(peer.get(), F_SETFL, ::fcntl(peer.get(), F_GETFL, 0) | O_NONBLOCK) != 0) return pair;
  pair.relay = std::move(relay);
  pair.peer = std::move(peer);
  return pair;
}

// Up to `n` bytes from `fd`: fewer only when the peer closed or `cap` ran out.
inline std::string ReadExactly(int fd, size_t n, std::chrono::milliseconds cap = kCap) {
  const testing::Deadline deadline(cap);
  std::string got;
  char buffer[4096];
  while (got.size() < n) {
    const ssize_t r = ::recv(fd, buffer, std::min(sizeof buffer, n - got.size()), 0);
    if (r > 0) {
      got.append(buffer, static_cast<size_t>(r));
      continue;
    }
    if (r == 0) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) break;
    if (deadline.Expired()) break;
    pollfd entry{fd, POLLIN, 0};
    ::poll(&entry, 1, deadline.PollTimeoutMs());
  }
  return got;
}

// True once the other end has closed; whatever arrives before is discarded.
inline bool WaitForEof(int fd, std::chrono::milliseconds cap = kCap) {
  const testing::Deadline deadline(cap);
  char buffer[65536];
  for (;;) {
    const ssize_t r = ::recv(fd, buffer, sizeof buffer, 0);
    if (r == 0) return true;
    if (r > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return true;  // a reset ends it as well
    if (deadline.Expired()) return false;
    pollfd entry{fd, POLLIN, 0};
    ::poll(&entry, 1, deadline.PollTimeoutMs());
  }
}

inline bool SendFromPeer(int fd, std::string_view bytes, std::chrono::milliseconds cap = kCap) {
  const testing::Deadline deadline(cap);
  while (!bytes.empty()) {
    const ssize_t w = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (w > 0) {
      bytes.remove_prefix(static_cast<size_t>(w));
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (deadline.Expired()) return false;
    pollfd entry{fd, POLLOUT, 0};
    ::poll(&entry, 1, deadline.PollTimeoutMs());
  }
  return true;
}

// Bytes waiting in a socket's receive queue.
inline int Pending(int fd) {
  int count = -1;
  if (::ioctl(fd, FIONREAD, &count) != 0) return -1;
  return count;
}

// Recognisable bytes, different for each variant.
inline std::string Pattern(size_t length, size_t variant) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 7 + variant * 13 + i / 251) % 256);
  return bytes;
}

// Polls `condition` until it holds or `cap` runs out; the last answer counts.
template <class Condition>
inline bool WaitUntil(Condition condition, std::chrono::milliseconds cap = kCap) {
  const testing::Deadline deadline(cap);
  while (!condition()) {
    if (deadline.Expired()) return condition();
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Polls `sample` until it has kept one value for `quiet`, or `cap` runs out.
template <class Sample>
inline bool WaitUntilQuiet(Sample sample, std::chrono::milliseconds quiet, std::chrono::milliseconds cap = kCap) {
  const testing::Deadline deadline(cap);
  auto last = sample();
  auto since = std::chrono::steady_clock::now();
  while (!deadline.Expired()) {
    std::this_thread::sleep_for(5ms);
    const auto now = sample();
    if (now != last) {
      last = now;
      since = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - since >= quiet) {
      return true;
    }
  }
  return false;
}

// The event-log time stamp for a wall-clock second, in local time.
inline std::string Stamp(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// Standard output and standard error, where the relay writes with write(2),
// captured for one scenario; always handed back, even when a test stops early.
class CapturedOutput {
 public:
  CapturedOutput() {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
  }
  ~CapturedOutput() { Finish(); }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;
  const std::string& Out() {
    Finish();
    return out_;
  }
  const std::string& Err() {
    Finish();
    return err_;
  }

 private:
  void Finish() {
    if (done_) return;
    done_ = true;
    out_ = ::testing::internal::GetCapturedStdout();
    err_ = ::testing::internal::GetCapturedStderr();
  }
  bool done_ = false;
  std::string out_;
  std::string err_;
};

inline void Queue(ClientConnection& record, std::string_view bytes) {
  record.QueueData(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace veltor::testing
