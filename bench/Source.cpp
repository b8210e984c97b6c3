#include "bench/Source.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "bench/Abort.h"

namespace veltor::bench {

namespace {

constexpr size_t kFloodAheadBytes = 128 * 1024;  // source stays this far ahead of the slowest client
constexpr size_t kFloodBatchRecords = 16;
constexpr Ns kFloodOverrun = 30 * kSec;  // past its end, a flood that has not stopped is a failure
// Bytes the peer sends back are dropped in bounded helpings, so a peer that
// echoes a flood (ncat sends every member's data to all others) cannot hold
// the paced schedule in the discard loop.
constexpr size_t kDiscardBytesPerCall = 4 * 1024 * 1024;

}  // namespace

testing::OwnedFd ConnectRetrying(uint16_t port, Ns deadline, int receiveBuffer) {
  for (;;) {
    testing::OwnedFd fd(testing::ConnectLoopback(port, MsUntil(deadline), receiveBuffer));
    if (fd.get() >= 0 || NowNs() >= deadline || !SleepUntil(NowNs() + 50 * kMs)) return fd;
  }
}

uint16_t Source::Listen() {
  uint16_t port = 0;
  listen_ = testing::OwnedFd(testing::OpenLoopbackListener(0, 4, port));
  if (listen_.get() >= 0) return port;
  Fail(std::string("source listener: ") + std::strerror(errno));
  return 0;
}

bool Source::AcceptRelay(Ns deadline) {
  while (NowNs() < deadline && !Interrupted()) {
    pollfd entry{listen_.get(), POLLIN, 0};
    if (::poll(&entry, 1, 100) > 0) {
      link_ = testing::OwnedFd(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (link_.get() >= 0) return true;
    }
  }
  return Fail("the relay did not connect to the source server");
}

bool Source::ConnectAsMember(uint16_t port, Ns deadline) {
  link_ = ConnectRetrying(port, deadline);
  return link_.get() >= 0 || Fail("the source could not connect to the peer");
}

bool Source::SendBurst(size_t records, Ns deadline) {
  if (!Push(deadline)) return false;
  const Ns now = NowNs();
  Append(kProbe, 1, now);
  if (records > 1) Append(kFiller, records - 1, now);
  return Push(deadline);
}

bool Source::Push(Ns deadline) {
  while (backlogOffset_ < backlog_.size()) {
    if (broken_) return false;
    const ssize_t sent = ::send(link_.get(), backlog_.data() + backlogOffset_, backlog_.size() - backlogOffset_,
                                MSG_NOSIGNAL);
    if (sent > 0) {
      backlogOffset_ += static_cast<size_t>(sent);
      sentBytes_ += static_cast<uint64_t>(sent);
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      broken_ = true;
      return Fail(std::string("send to the peer: ") + std::strerror(errno));
    }
    DiscardUpstream();
    if (NowNs() >= deadline) return false;
    pollfd entry{link_.get(), POLLOUT, 0};
    ::poll(&entry, 1, 5);
  }
  backlog_.clear();
  backlogOffset_ = 0;
  DiscardUpstream();
  return true;
}

bool Source::Flood(const ClientSet& clients, Ns until, uint64_t byteLimit) {
  const uint64_t limit = byteLimit > UINT64_MAX - sentBytes_ ? UINT64_MAX : sentBytes_ + byteLimit;
  const Ns hardDeadline = until + kFloodOverrun;
  uint64_t least = clients.MinReceived();
  Ns progressAt = NowNs();
  for (;;) {
    if (Interrupted() || broken_) return false;
    const Ns now = NowNs();
    const uint64_t reached = clients.MinReceived();
    if (reached != least) {
      least = reached;
      progressAt = now;
    }
    if (least < sentBytes_ && now - progressAt >= kStarvedAfter) return false;
    if (now >= hardDeadline) return Fail("flood did not finish in time");
    if (backlog_.empty()) {
      if (now >= until || sentBytes_ >= limit) return true;
      if (sentBytes_ - least >= kFloodAheadBytes) {
        SleepUntil(now + 200 * kUs);
        continue;
      }
      const size_t records = std::min<uint64_t>(kFloodBatchRecords, (limit - sentBytes_) / kRecordBytes);
      if (records == 0) return true;
      Append(kFiller, records, now);
    }
    Push(now);  // whatever the kernel takes right now; the loop waits for room
  }
}

void Source::Append(uint8_t kind, size_t records, Ns stamp) {
  const size_t at = backlog_.size();
  backlog_.resize(at + records * kRecordBytes);
  for (size_t i = 0; i < records; ++i) BuildRecord(&backlog_[at + i * kRecordBytes], kind, nextSequence_++, stamp);
}

// Clients send nothing in the fan-out runs, but anything the peer forwards is
// read and dropped so the peer's own sends to the source never stall.
void Source::DiscardUpstream() {
  uint8_t sink[4096];
  for (size_t dropped = 0; dropped < kDiscardBytesPerCall;) {
    const ssize_t got = ::recv(link_.get(), sink, sizeof sink, MSG_DONTWAIT);
    if (got <= 0) return;
    dropped += static_cast<size_t>(got);
  }
}

bool WaitDelivered(const ClientSet& clients, Source& source, Ns deadline) {
  if (!source.Push(std::min(deadline, NowNs() + kStarvedAfter))) return false;
  uint64_t least = clients.MinReceived();
  Ns progressAt = NowNs();
  while (least < source.SentBytes()) {
    const Ns now = NowNs();
    if (now >= deadline || now - progressAt >= kStarvedAfter) return false;
    if (!SleepUntil(now + 2 * kMs) || Interrupted()) return false;
    const uint64_t reached = clients.MinReceived();
    if (reached != least) {
      least = reached;
      progressAt = NowNs();
    }
  }
  return true;
}

}  // namespace veltor::bench
