// The end that writes the stream. For the relay it is the server the relay
// connects to; for ncat, which has no upstream, it is a member that connects.
//
// Whatever is not yet handed to the kernel waits in a backlog, so a peer that
// stops taking data never leaves half a record behind: the stream stays whole
// and can be checked once the peer moves again.
//
// Single-threaded: the thread that runs the measurements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bench/BenchClock.h"
#include "bench/ClientSet.h"
#include "tests/support/Loopback.h"

namespace veltor::bench {

// Connects to 127.0.0.1:`port`, trying again until `deadline`: a peer just
// started may not listen yet. An empty descriptor when it never took it.
testing::OwnedFd ConnectRetrying(uint16_t port, Ns deadline, int receiveBuffer = 0);

class Source {
 public:
  // Listens on 127.0.0.1 for the relay; the port, or 0 (and Fail).
  uint16_t Listen();
  bool AcceptRelay(Ns deadline);
  bool ConnectAsMember(uint16_t port, Ns deadline);

  uint64_t SentBytes() const { return sentBytes_; }
  // True once a send failed for good (Fail has said why).
  bool Broken() const { return broken_; }

  // One write of `records` records, the first a probe stamped as late as
  // possible before it is handed to the socket. False if the peer did not take
  // it all before the deadline (the rest stays in the backlog).
  bool SendBurst(size_t records, Ns deadline);

  // Hands the backlog to the kernel; false if it could not all go by the deadline.
  bool Push(Ns deadline);

  // Writes filler records as fast as the peer takes them until `until` or
  // until `byteLimit` more bytes went out, whichever comes first. The source
  // never runs more than kFloodAheadBytes ahead of the slowest client, so the
  // peer always has data waiting while the backlog to drain afterwards stays
  // around a second at the relay's rate.
  //
  // False if the slowest client got nothing for kStarvedAfter while data was
  // outstanding: the peer has stopped delivering, and waiting longer is
  // pointless. Also false (and Fail) past a hard deadline or on an interrupt.
  bool Flood(const ClientSet& clients, Ns until, uint64_t byteLimit);

 private:
  void Append(uint8_t kind, size_t records, Ns stamp);
  void DiscardUpstream();

  testing::OwnedFd listen_;
  testing::OwnedFd link_;
  uint64_t nextSequence_ = 0;
  uint64_t sentBytes_ = 0;
  std::vector<uint8_t> backlog_;
  size_t backlogOffset_ = 0;
  bool broken_ = false;
};

// Waits until every client has received all the source sent. False at the
// deadline, or as soon as the slowest client has got nothing for kStarvedAfter.
bool WaitDelivered(const ClientSet& clients, Source& source, Ns deadline);

// Healthy clients getting nothing this long: the peer has stopped.
inline constexpr Ns kStarvedAfter = 3 * kSec;

}  // namespace veltor::bench
