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

}  // namespace veltor::testing
