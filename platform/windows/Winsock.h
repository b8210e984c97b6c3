// Winsock for the Windows side of the seam: the headers in the order they
// need them. Every socket or name call must come after EnsureSocketsStarted()
// (platform/SystemSockets.h).
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

// What Winsock's calls take; SystemSockets.h has the Linux twin.
inline SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

}  // namespace veltor
