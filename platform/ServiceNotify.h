// Messages to the service manager (systemd's notification protocol) without
// its library: one datagram per message to the socket it names. Any thread;
// nothing here waits or keeps state.
#pragma once

#include <cstdint>
#include <string>

namespace veltor {

// Sends `message` ("READY=1", "STATUS=...") as one datagram to the Unix
// datagram socket at `socketPath`, a file path or "@name" for the abstract
// namespace. Never waits: a socket whose queue is full drops the message.
// False when nothing was sent (no such socket, a full queue, an unusable
// path); Windows has no such manager and always says false.
bool SendServiceNotification(const std::string& socketPath, const std::string& message);

// This process's id, as the manager names it in WATCHDOG_PID.
int64_t CurrentProcessId();

}  // namespace veltor
