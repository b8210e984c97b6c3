// Waiting on one socket, together with a wake signal when one is given: the
// one way the relay's threads wait for the network.
#pragma once

#include "platform/Socket.h"
#include "platform/WakeSignal.h"

namespace veltor {

enum class Readiness { Read, Write };

// Ready: the socket can be read (data, its end, or an error to read) or
// written. Woken: `wake` was raised first (it is drained). TimedOut: neither
// within `waitMs`, or a signal cut the wait short. Failed: the wait itself
// failed, or the socket is unusable (closed, or in error with nothing to read).
enum class WaitOutcome { Ready, Woken, TimedOut, Failed };
WaitOutcome WaitForSocket(SocketHandle socket, Readiness readiness, int waitMs, WakeSignal* wake = nullptr);

}  // namespace veltor
