// The process around the relay: its set-up, the requests that signals turn
// into, and its descriptor table.
#pragma once

#include "platform/WakeSignal.h"

namespace veltor {

// Gives any closed standard stream the null device, ignores SIGPIPE, routes
// SIGINT/SIGTERM/SIGHUP to an orderly shutdown, SIGUSR1 to a status report
// and SIGUSR2 to a reopen request, and raises the soft limit of open files to
// the hard limit. False when a step failed.
bool SetUpProcess();

// From now on a shutdown, status or reopen signal also raises `wake` (nullptr: none),
// so a loop waiting on it sees the request at once.
void WakeOnSignals(WakeSignal* wake);

// A shutdown signal has arrived.
bool ShutdownRequested();
// A status signal has arrived since the last call.
bool TakeStatusRequest();
// A reopen signal (SIGUSR2, as logrotate sends after moving a log away) has
// arrived since the last call. Never on Windows, which has no such signal.
bool TakeReopenRequest();

// True when at least `count` more descriptors could be opened now. It opens
// and closes them to find out, which is cheap at once a second and, unlike
// counting, sees every descriptor the process holds.
bool HasFreeDescriptors(int count);

}  // namespace veltor
