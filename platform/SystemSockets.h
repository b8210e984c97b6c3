// Private to platform/: the system's socket headers, and the few calls each
// system's side provides so that what both systems do alike with sockets and
// names is written once, in platform/Socket.cpp and platform/NameLookup.cpp.
#pragma once

#if defined(_WIN32)
#include "platform/windows/Winsock.h"
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>

#include "platform/Socket.h"

namespace veltor {

#if !defined(_WIN32)
// What the system's calls take; Winsock.h has the Windows twin.
inline int Native(SocketHandle socket) { return socket; }
#endif

// Each system's side (posix/Socket.cpp, windows/Socket.cpp):

// Starts the system's sockets where they need starting (Winsock 2.2, once per
// process); false when the system has none. Any thread, any number of calls.
bool EnsureSocketsStarted();
// The system's error code for the last failed socket call of this thread.
int LastSocketError();
// True when `error` means "not now": no data, no room, no connection pending,
// or a signal cut the call short.
bool IsRetryableError(int error);

// Written once, in platform/Socket.cpp:

// The address of IPv4 `networkAddress` (network byte order) and `port`.
sockaddr_in Ipv4Address(uint32_t networkAddress, uint16_t port);
// A failed call, `error` being the system's code: WouldBlock when it may be
// tried again, else Failed.
IoOutcome SortFailedCall(int error);
// What a send or a receive returned (bytes, or < 0 with the system's `error`).
// A receive of 0 bytes is the peer's end of stream (Closed); a send of 0 Failed.
IoOutcome SortSendResult(long long result, int error);
IoOutcome SortReceiveResult(long long result, int error);
// How a connect that the system reports finished went: Done, or Failed with
// the error the socket holds.
IoOutcome ConnectOutcome(SocketHandle socket);

}  // namespace veltor
