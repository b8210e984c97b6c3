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

  // Connects to `host` (dotted address or name) and `port`, waiting at most
  // `timeoutMs`. False when the name does not resolve (no attempt is made),
  // when the connection is refused or when the time runs out.
  bool Connect(const std::string& host, uint16_t port, int timeoutMs);
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

// `name` as a dotted address, else looked up as a host name (first IPv4
// address). Network byte order; INADDR_NONE when neither works.
uint32_t ResolveHost(const std::string& name);

// Fills each output that is not null from an IPv4 peer address: its port (host
// order), its address (network order), its dotted text and its host name by
// reverse look-up (blocking). Texts are cut to size - 1 characters and always
// terminated; a failed conversion or look-up leaves them empty. Always true.
bool GetPeerInfo(const sockaddr_in& peer, uint16_t* port, uint32_t* address, char* dottedText, size_t dottedSize,
                 char* hostName, size_t hostSize);

}  // namespace veltor
