// The operating system's TCP/IPv4 sockets, as the relay relies on them. Every
// call here returns at once: sockets are made non-blocking, and waiting is
// SocketWait's job. Nothing here prints or keeps state; net/ builds the
// relay's own socket logic (results, bounds, messages) on top. What both
// systems do alike is in platform/Socket.cpp, the rest in each system's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace veltor {

#if defined(_WIN32)
using SocketHandle = uintptr_t;
inline constexpr SocketHandle kNoSocket = ~static_cast<SocketHandle>(0);
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;
#endif

// What one socket call did (send, receive, accept, connect), with the
// system's error code (errno, or WSAGetLastError() on Windows) saved at once:
//   Done        it happened; `bytes` is what a send or a receive moved;
//   WouldBlock  not now: no room, no data, no connection pending, a connect
//               still under way, or a signal cut the call short;
//   Closed      a receive met the peer's end of stream;
//   Failed      the system refused; `error` says why (0 when it gave no code).
// net/ sorts these into the relay's own TransferResult.
struct IoOutcome {
  enum class Kind { Done, WouldBlock, Closed, Failed };
  Kind kind = Kind::Failed;
  size_t bytes = 0;
  int error = 0;  // set whenever the call itself failed (WouldBlock or Failed)
};

// An IPv4 stream socket that no child process inherits; kNoSocket when the
// system refuses one.
SocketHandle OpenStreamSocket();
void CloseSocket(SocketHandle socket);

bool SetNonBlocking(SocketHandle socket);
// Lets a restarted relay bind its port while connections of the old one
// linger, without letting a second relay take a port in use.
bool AllowPortReuse(SocketHandle socket);
// Local `address` (host byte order; kAnyAddress: every local address), `port`.
bool BindLocalAddress(SocketHandle socket, uint32_t address, uint16_t port);
bool StartListening(SocketHandle socket, int backlog);
// One pending connection, already non-blocking, into `accepted` (Done);
// `accepted` is kNoSocket otherwise.
[[nodiscard]] IoOutcome AcceptConnection(SocketHandle listenSocket, SocketHandle& accepted);

// Starts connecting to `networkAddress` (network byte order) and `port`
// without waiting: Done when connected at once, WouldBlock while under way.
[[nodiscard]] IoOutcome StartConnect(SocketHandle socket, uint32_t networkAddress, uint16_t port);
// Waits at most `waitMs` for a started connection: Done once made, Failed
// once refused, WouldBlock while still under way (an interrupted wait too).
[[nodiscard]] IoOutcome AwaitConnect(SocketHandle socket, int waitMs);

// Sends what the socket takes at once; a broken connection is Failed, never a
// signal.
[[nodiscard]] IoOutcome SendNow(SocketHandle socket, const uint8_t* bytes, size_t length);
// Receives what the socket holds, at most `capacity`.
[[nodiscard]] IoOutcome ReceiveNow(SocketHandle socket, uint8_t* buffer, size_t capacity);

// The IPv4 address of the connection's peer, in host byte order.
bool ReadPeerAddress(SocketHandle socket, uint32_t& address);
// `text` as dotted IPv4, network byte order; 0xFFFFFFFF when it is not one
// (the all-ones address, whose text gives the same value, included).
uint32_t ParseDottedAddress(const std::string& text);

}  // namespace veltor
