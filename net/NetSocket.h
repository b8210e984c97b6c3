// NetSocket: one IPv4 TCP socket descriptor and the few operations the relay
// needs of it, plus name resolution and peer look-up.
//
// The object owns its descriptor and is its only closer (in the destructor).
// -1 means "no descriptor". Nothing here prints: failures are results, and the
// caller tells the operator.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace veltor {

class NetSocket {
 public:
  static constexpr int kInvalidHandle = -1;

  // Creates a new AF_INET socket of `type` (the relay passes SOCK_STREAM).
  // On failure the object exists with an invalid handle.
  static std::unique_ptr<NetSocket> Create(int type);
  // Takes ownership of a descriptor obtained elsewhere (accept).
  explicit NetSocket(int handle) : handle_(handle) {}
  virtual ~NetSocket();
  NetSocket(const NetSocket&) = delete;
  NetSocket& operator=(const NetSocket&) = delete;

  int Handle() const { return handle_; }
  bool Valid() const { return handle_ != kInvalidHandle; }

  // Starts a connection to `networkAddress` (network order) and `port`
  // without waiting; the socket is non-blocking from here on. False when the
  // attempt failed at once.
  bool StartConnect(uint32_t networkAddress, uint16_t port);
  enum class ConnectState { Pending, Connected, Failed };
  // Waits at most `waitMs` for a started connection to be made or refused.
  ConnectState FinishConnect(int waitMs);
  // Binds to every local address on `port`.
  bool Bind(uint16_t port);
  // Lets a restarted relay bind its port while old connections linger.
  bool SetReuseAddress();
  bool Listen(int backlog);
  // One pending connection, non-blocking and close-on-exec; nullptr when none.
  std::unique_ptr<NetSocket> Accept();
  bool SetNonBlocking();

 private:
  int handle_ = kInvalidHandle;
};

// `name` as dotted IPv4 text, in network byte order; INADDR_NONE when it is
// not one (the all-ones address, whose text gives the same value, included).
uint32_t ParseDottedAddress(const std::string& name);

// The peer's IPv4 address of a connected socket, in host order. False when it
// cannot be read or is not IPv4.
bool PeerAddress(const NetSocket& socket, uint32_t& address);

}  // namespace veltor
