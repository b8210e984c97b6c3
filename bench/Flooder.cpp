#include "bench/Flooder.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <vector>

#include "bench/Abort.h"

namespace veltor::bench {

namespace {

constexpr size_t kWriteBytes = 64 * 1024;  // one write of zeros
constexpr int kPollMs = 50;                // how soon a stop is noticed when the peer takes nothing

// True when the call failed for good rather than for want of room or data.
bool Broken(ssize_t result) { return result == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR); }

}  // namespace

void Flooder::Start(Ns deadline) {
  thread_ = std::thread([this, deadline] { Loop(deadline); });
}

void Flooder::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

void Flooder::Loop(Ns deadline) {
  const std::vector<uint8_t> zeros(kWriteBytes, 0);
  std::vector<uint8_t> sink(kWriteBytes);
  while (!stop_.load() && !Interrupted() && NowNs() < deadline) {
    pollfd entry{fd_.get(), POLLIN | POLLOUT, 0};
    if (::poll(&entry, 1, kPollMs) <= 0) continue;
    if ((entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t got = ::recv(fd_.get(), sink.data(), sink.size(), MSG_DONTWAIT);
      if (got > 0) {
        received_.fetch_add(static_cast<uint64_t>(got));
      } else if (Broken(got)) {
        break;
      }
    }
    if ((entry.revents & POLLOUT) != 0) {
      const ssize_t sent = ::send(fd_.get(), zeros.data(), zeros.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent > 0) {
        sent_.fetch_add(static_cast<uint64_t>(sent));
      } else if (sent < 0 && Broken(sent)) {
        break;
      }
    }
  }
  if (!stop_.load() && !Interrupted() && NowNs() < deadline) closed_.store(true);
}

}  // namespace veltor::bench
