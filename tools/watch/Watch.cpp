#include "tools/watch/Watch.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "tools/common/HostLookup.h"
#include "tools/common/VisibleText.h"

namespace veltor::watch {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kLookupLimit(10000);
constexpr milliseconds kConnectLimit(5000);
constexpr milliseconds kSendStallLimit(5000);
// The relay writes each frame whole, so the rest of a frame follows its start
// at once; bytes that stay incomplete this long are the server's.
constexpr milliseconds kFrameRestWait(1000);
constexpr size_t kReadBytes = 65536;

constexpr int kStatusOk = 0;
constexpr int kStatusFailed = 1;

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

void Say(int errFd, const std::string& text) { WriteAll(errFd, "veltor-watch: " + text + "\n"); }

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// A connected non-blocking socket, or -1 after saying why not.
int Connect(const std::string& host, uint16_t port, int errFd) {
  const std::string where = host + ":" + std::to_string(port);
  const tools::HostLookup lookup = tools::LookUpHost(host, kLookupLimit);
  if (lookup.outcome != tools::HostLookup::Outcome::kFound) {
    Say(errFd, "cannot resolve " + host + ": " +
                   (lookup.outcome == tools::HostLookup::Outcome::kTimedOut ? "no answer in time" : lookup.reason));
    return -1;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Say(errFd, std::string("cannot create a socket: ") + std::strerror(errno));
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = lookup.address;
  int error = 0;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      const auto deadline = Clock::now() + kConnectLimit;
      pollfd ready{fd, POLLOUT, 0};
      int polled = 0;
      while ((polled = ::poll(&ready, 1, RemainingMs(deadline))) < 0 && errno == EINTR) {
      }
      socklen_t size = sizeof error;
      if (polled == 0) {
        error = ETIMEDOUT;
      } else if (polled < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
      }
    }
  }
  if (error != 0) {
    Say(errFd, "cannot connect to " + where + ": " + std::strerror(error));
    ::close(fd);
    return -1;
  }
  return fd;
}

// Everything typed goes to the relay; a relay that takes none of it for a
// while is not reading this client, and waiting longer helps nobody.
bool SendInput(int fd, std::string_view bytes) {
  const auto deadline = Clock::now() + kSendStallLimit;
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd ready{fd, POLLOUT, 0};
      if (::poll(&ready, 1, RemainingMs(deadline)) == 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

// What arrives from the relay: greeting frames first, then the raw stream.
class StreamView {
 public:
  explicit StreamView(int outFd) : outFd_(outFd) {}

  bool Add(std::string_view bytes) {
    if (!greetings_) return WriteAll(outFd_, bytes);
    pending_.append(bytes);
    return Drain();
  }

  // How long poll may wait before the pending bytes must be given up on; -1: no limit.
  int WaitMs() const { return greetings_ && !pending_.empty() ? RemainingMs(frameDeadline_) : -1; }

  // Called after every wait: bytes that never became a frame are the server's.
  bool Expire() {
    if (!greetings_ || pending_.empty() || Clock::now() < frameDeadline_) return true;
    return Flush();
  }

  // At the end of the connection whatever is pending is shown as it came.
  bool Finish() { return greetings_ && !pending_.empty() ? Flush() : true; }

 private:
  bool Drain() {
    while (greetings_ && !pending_.empty()) {
      const tools::GreetingDecode decode = tools::DecodeGreeting(pending_);
      if (decode.kind == tools::GreetingDecode::Kind::kNotFrame) return Flush();
      if (decode.kind == tools::GreetingDecode::Kind::kNeedMore) {
        if (!waiting_) frameDeadline_ = Clock::now() + kFrameRestWait;
        waiting_ = true;
        return true;
      }
      waiting_ = false;
      if (!WriteAll(outFd_, GreetingLine(decode))) return false;
      pending_.erase(0, decode.length);
    }
    return true;
  }

  bool Flush() {
    greetings_ = false;
    const bool written = WriteAll(outFd_, pending_);
    pending_.clear();
    return written;
  }

  int outFd_;
  bool greetings_ = true;  // frames come only before the first server byte
  bool waiting_ = false;
  Clock::time_point frameDeadline_{};
  std::string pending_;
};

}  // namespace

std::string GreetingLine(const tools::GreetingDecode& frame) {
  if (frame.kind == tools::GreetingDecode::Kind::kBadFrame) {
    char sums[64];
    std::snprintf(sums, sizeof sums, "checksum %04X, the bytes sum to %04X", frame.checksum, frame.computed);
    return "[greeting] bad frame (" + std::string(sums) + "): " + tools::VisibleText(frame.text) + "\n";
  }
  return "[greeting] " + tools::VisibleText(frame.text) + "\n";
}

int RunWatch(const std::string& host, uint16_t port, int inFd, int outFd, int errFd) {
  const int fd = Connect(host, port, errFd);
  if (fd < 0) return kStatusFailed;
  Say(errFd, "connected to " + host + ":" + std::to_string(port) + " (end of input or Ctrl-C leaves)");

  StreamView view(outFd);
  std::string buffer(kReadBytes, '\0');
  bool received = false;
  int status = kStatusOk;
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {inFd, POLLIN, 0}};
    const int polled = ::poll(fds, 2, view.WaitMs());
    if (polled < 0 && errno != EINTR) {
      Say(errFd, std::string("poll failed: ") + std::strerror(errno));
      status = kStatusFailed;
      break;
    }
    if (!view.Expire()) break;
    if (polled <= 0) continue;

    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (got <= 0) {
        view.Finish();
        if (got == 0) {
          Say(errFd, received ? "the relay closed the connection"
                              : "the relay closed the connection before sending anything (its rules may deny "
                                "this address)");
        } else {
          Say(errFd, std::string("connection lost: ") + std::strerror(errno));
          status = kStatusFailed;
        }
        break;
      }
      received = true;
      if (!view.Add(std::string_view(buffer.data(), static_cast<size_t>(got)))) break;
    }
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t got = ::read(inFd, buffer.data(), buffer.size());
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) {
        view.Finish();
        break;
      }
      if (!SendInput(fd, std::string_view(buffer.data(), static_cast<size_t>(got)))) {
        Say(errFd, "the relay takes no input from this client");
        status = kStatusFailed;
        break;
      }
    }
  }
  ::close(fd);
  return status;
}

}  // namespace veltor::watch
