// Waiting on several sockets at once, together with a wake signal: for a
// thread that serves a few connections of its own (the control socket).
#pragma once

#include <vector>

#include "platform/SocketWait.h"

namespace veltor {

struct SocketInterest {
  SocketHandle socket = kNoSocket;
  Readiness readiness = Readiness::Read;
  bool ready = false;  // set by the wait: the socket can be read or written,
                       // or is at its end or in error (the next call tells which)
};

// Ready: at least one entry is marked ready. Woken: `wake` was raised first
// (it is drained; no entry is marked). TimedOut: neither within `waitMs`, or
// a signal cut the wait short. Failed: the wait itself failed.
WaitOutcome WaitForSockets(std::vector<SocketInterest>& sockets, int waitMs, WakeSignal* wake);

}  // namespace veltor
