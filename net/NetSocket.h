// NetSocket: one IPv4 TCP socket and the few operations the relay needs of it.
//
// The object owns its socket and is its only closer (in the destructor);
// kNoSocket means "no socket". Nothing here prints: failures are results, and
// the caller tells the operator.
#pragma once

#include <cstdint>
#include <memory>

#include "net/TransferResult.h"
#include "platform/Socket.h"

namespace veltor {

class NetSocket {
 public:
  // A new IPv4 stream socket. When the system refuses one the object exists
  // all the same, with no socket, and every operation fails.
  static std::unique_ptr<NetSocket> Create();
  // Takes ownership of a socket obtained elsewhere (accept).
  explicit NetSocket(SocketHandle handle) : handle_(handle) {}
  virtual ~NetSocket();
  NetSocket(const NetSocket&) = delete;
  NetSocket& operator=(const NetSocket&) = delete;

  SocketHandle Handle() const { return handle_; }
  bool Valid() const { return handle_ != kNoSocket; }

  // Starts a connection to `networkAddress` (network order) and `port`
  // without waiting; the socket is non-blocking from here on. False when the
  // attempt failed at once.
  bool StartConnect(uint32_t networkAddress, uint16_t port);
  // Waits at most `waitMs` for a started connection. Done: connected. Idle:
  // still under way. Failed: refused, or no socket.
  [[nodiscard]] TransferResult FinishConnect(int waitMs);
  // Binds to local `address` (host order; kAnyAddress: every one) and `port`.
  bool Bind(uint32_t address, uint16_t port);
  // Lets a restarted relay bind its port while old connections linger.
  bool SetReuseAddress();
  bool Listen(int backlog);
  // One pending connection, non-blocking; nullptr when none.
  std::unique_ptr<NetSocket> Accept();
  bool SetNonBlocking();

 private:
  SocketHandle handle_ = kNoSocket;
};

// The peer's IPv4 address of a connected socket, in host order. False when it
// cannot be read or is not IPv4.
bool PeerAddress(const NetSocket& socket, uint32_t& address);

}  // namespace veltor
