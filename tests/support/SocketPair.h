// A loopback connection with a relay object on one end and the test on the
// other, for the in-process tests of transfers, records and the table.
// Header-only: it needs the product's socket, which the kit's library does not
// link.
#pragma once

#include <sys/socket.h>

#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "clients/ClientConnection.h"
#include "net/NetSocket.h"
#include "tests/support/Loopback.h"

namespace veltor::testing {

using Frames = std::vector<ClientConnection::Frame>;

struct BufferSizes {
  int peerReceive = 0;  // 0: the kernel's default
  int relaySend = 0;
  int peerMaxSegment = 0;  // TCP_MAXSEG of the peer; 0: the kernel's default
};

// `relay` is the end a record owns (non-blocking, as admission hands it over),
// `peer` the non-blocking end the test plays, waited on only against a cap.
struct LoopbackPair {
  std::unique_ptr<NetSocket> relay;
  OwnedFd peer;
};

// Both ends empty when the connection could not be made.
inline LoopbackPair MakePair(BufferSizes sizes = {}) {
  uint16_t port = 0;
  const OwnedFd listener(OpenLoopbackListener(0, 1, port));
  if (listener.get() < 0) return {};
  OwnedFd peer(ConnectLoopback(port, kCap, sizes.peerReceive, sizes.peerMaxSegment));
  if (peer.get() < 0 || !Readable(listener.get(), kCap)) return {};
  auto relay = std::make_unique<NetSocket>(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!relay->Valid() || !relay->SetNonBlocking()) return {};
  if (sizes.relaySend > 0) {
    ::setsockopt(relay->Handle(), SOL_SOCKET, SO_SNDBUF, &sizes.relaySend, sizeof sizes.relaySend);
  }
  return LoopbackPair{std::move(relay), std::move(peer)};
}

inline void Queue(ClientConnection& record, std::string_view bytes) {
  record.QueueData(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace veltor::testing
