// The test's side of loopback TCP: owned descriptors on 127.0.0.1, ports the
// kernel picks, and reads, writes and waits that each end by a cap. Free of
// relay code and of any test framework, so unit, end-to-end and soak tests
// and the fuzz targets all play their peers with it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "tests/support/Deadline.h"

namespace veltor::testing {

// IPv4 address in host order from its four octets.
constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a << 24 | b << 16 | c << 8 | d; }

inline constexpr uint32_t kLoopbackAddress = Ip(127, 0, 0, 1);

// Closes `fd` abortively: the other end sees a reset instead of an orderly end.
void ResetAndClose(int fd);

// A descriptor the test owns, closed when it goes.
class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd() { Close(); }
  OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }
  void Close();
  void Reset() { ResetAndClose(std::exchange(fd_, -1)); }

 private:
  int fd_ = -1;
};

// Binds a TCP socket to 127.0.0.1:0, reads back the port the kernel chose and
// closes the socket again. Returns 0 if no socket could be bound.
//
// The port is free at return but not reserved: another process may take it
// before the caller binds it. Tests bind it at once (the relay does so at
// start-up) and treat a failed bind as a test failure, not a retry case.
uint16_t FindFreePort();

// A free port kept from everyone else: a socket bound to 127.0.0.1:port with
// SO_REUSEADDR that never listens, so the kernel hands the port to no other
// bind or outgoing connection, while a Linux program binding it with
// SO_REUSEADDR (the relay does) still gets it and can listen on it. Not for
// a Windows program: its exclusive bind would be refused. -1 when none.
int HoldFreePort(uint16_t& port);

// The local port `fd` is bound to; 0 when unknown.
uint16_t BoundPort(int fd);

// A non-blocking listening socket on 127.0.0.1:`port` (0: the kernel picks),
// with SO_REUSEADDR so a restarted server gets its old port back while the
// relay's previous connection lingers in TIME_WAIT. Returns the descriptor and
// sets `boundPort`, or -1.
int OpenLoopbackListener(uint16_t port, int backlog, uint16_t& boundPort);

// The smallest receive side a test can give a connection: SO_RCVBUF at the
// kernel's floor and the least segment size (TCP_MAXSEG) that IPv4 promises.
// The segment size matters as much as the buffer: the sender's kernel sizes
// its send buffer in segments, and with loopback's 64 KiB ones it grows to
// megabytes, so a peer that reads nothing would never make the sender wait.
inline constexpr int kSmallWindowBufferBytes = 1024;
inline constexpr int kSmallestSegmentBytes = 536;

// The two ends' addresses of a loopback connection. The kernel picks
// 127.0.0.1 as the local one unless another is given: a relay that tells
// clients apart by address needs a second one, a relay bound to one address
// is reached there.
struct LoopbackEnds {
  uint32_t remote = kLoopbackAddress;
  uint32_t local = 0;  // 0: the kernel's choice
};

// A non-blocking connection to `ends.remote`:`port`, started but not waited
// for: the descriptor (`connected` when the handshake is already done), or
// -1. Positive `receiveBuffer` and `maxSegment` become SO_RCVBUF and
// TCP_MAXSEG before the handshake, which settles the window and the segment size.
int StartLoopbackConnect(uint16_t port, int receiveBuffer, bool& connected, int maxSegment = 0,
                         LoopbackEnds ends = {});

// A non-blocking connection to `ends.remote`:`port`, made within `cap`; -1
// when refused or late. `receiveBuffer` and `maxSegment` as for
// StartLoopbackConnect (a small window makes a slow client).
int ConnectLoopback(uint16_t port, std::chrono::milliseconds cap = kCap, int receiveBuffer = 0, int maxSegment = 0,
                    LoopbackEnds ends = {});

// True when `fd` has something to read, or an end or an error, within `wait`.
bool Readable(int fd, std::chrono::milliseconds wait);

// Up to `n` bytes from `fd`: fewer only when the peer closed or `cap` ran out.
std::string ReadExactly(int fd, size_t n, std::chrono::milliseconds cap = kCap);

// All of `bytes` from the test's end, or false on an error or once `cap` ran
// out; a peer that hung up fails the call instead of raising SIGPIPE.
bool SendFromPeer(int fd, std::string_view bytes, std::chrono::milliseconds cap = kCap);

// One send that never waits: how much of the block it took (0 when none).
size_t SendSome(int fd, const uint8_t* bytes, size_t length);

// True once the other end has closed or reset; whatever arrives before is discarded.
bool WaitForEof(int fd, std::chrono::milliseconds cap = kCap);

// Bytes waiting in a socket's receive queue; -1 when unknown.
int Pending(int fd);

}  // namespace veltor::testing
