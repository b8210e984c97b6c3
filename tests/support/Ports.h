// Free loopback ports for tests that must tell the relay which port to listen on.
#pragma once

#include <cstdint>

namespace veltor::testing {

// Binds a TCP socket to 127.0.0.1:0, reads back the port the kernel chose and
// closes the socket again. Returns 0 if no socket could be bound.
//
// The port is free at return but not reserved: another process may take it
// before the caller binds it. Tests bind it at once (the relay does so at
// start-up) and treat a failed bind as a test failure, not a retry case.
uint16_t FindFreePort();

// A non-blocking listening socket on 127.0.0.1:`port` (0: the kernel picks),
// with SO_REUSEADDR so a restarted server gets its old port back while the
// relay's previous connection lingers in TIME_WAIT. Returns the descriptor and
// sets `boundPort`, or -1.
int OpenLoopbackListener(uint16_t port, int backlog, uint16_t& boundPort);

}  // namespace veltor::testing
