// The operating system's TCP/IPv4 sockets, as the relay relies on them. Every
// call here returns at once: sockets are made non-blocking, and waiting is
// SocketWait's job. Nothing here prints or keeps state; net/ builds the
// relay's own socket logic (results, bounds, messages) on top.
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

// An IPv4 stream socket that no child process inherits; kNoSocket when the
// system refuses one.
SocketHandle OpenStreamSocket();
void CloseSocket(SocketHandle socket);

bool SetNonBlocking(SocketHandle socket);
// Lets a restarted relay bind its port while connections of the old one
// linger, without letting a second relay take a port in use.
bool AllowPortReuse(SocketHandle socket);
// Every local address, `port`.
bool BindAnyAddress(SocketHandle socket, uint16_t port);
bool StartListening(SocketHandle socket, int backlog);
// One pending connection, already non-blocking; kNoSocket when none.
SocketHandle AcceptConnection(SocketHandle listenSocket);

// Starts connecting to `networkAddress` (network byte order) and `port`
// without waiting; false when the attempt failed at once.
bool StartConnect(SocketHandle socket, uint32_t networkAddress, uint16_t port);
enum class ConnectProgress { Pending, Connected, Failed };
// Waits at most `waitMs` for a started connection to be made or refused; an
// interrupted wait is Pending.
ConnectProgress AwaitConnect(SocketHandle socket, int waitMs);

// What one send or receive did.
struct IoOutcome {
  enum class Kind { Moved, WouldBlock, Closed, Failed };
  Kind kind = Kind::Failed;
  size_t bytes = 0;  // when Moved
};
// Sends what the socket takes at once; a broken connection is Failed, never a
// signal. An interrupted call is WouldBlock.
IoOutcome SendNow(SocketHandle socket, const uint8_t* bytes, size_t length);
// Receives what the socket holds, at most `capacity`; Closed at the peer's end
// of stream. An interrupted call is WouldBlock.
IoOutcome ReceiveNow(SocketHandle socket, uint8_t* buffer, size_t capacity);
// Sorts what a receive returned and the system's error code.
IoOutcome SortReceiveResult(long long result, int error);

// The IPv4 address of the connection's peer, in host byte order.
bool ReadPeerAddress(SocketHandle socket, uint32_t& address);
// `text` as dotted IPv4, network byte order; 0xFFFFFFFF when it is not one
// (the all-ones address, whose text gives the same value, included).
uint32_t ParseDottedAddress(const std::string& text);

}  // namespace veltor
