// Winsock for the Windows side of the seam: the headers in the order they
// need, and the one start-up every socket or name call must come after.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "platform/Socket.h"

namespace veltor {

// Starts Winsock 2.2 once per process (any thread, any number of calls);
// false when the system has none.
bool EnsureWinsockStarted();

inline SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

}  // namespace veltor
