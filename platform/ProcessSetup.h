// Process-wide set-up: signal dispositions, the open-file limit, and the
// requests that signals turn into for the relay loop.
#pragma once

namespace veltor {

// Opens /dev/null for any closed standard stream, ignores SIGPIPE, routes
// SIGINT/SIGTERM/SIGHUP to an orderly shutdown and SIGUSR1 to a status report,
// and raises the soft limit of open files to the hard limit. False when a step
// failed.
bool SetUpProcess();

// True when at least `count` more descriptors could be opened now. It opens
// and closes them to find out, which is cheap at once a second and, unlike
// counting, sees every descriptor the process holds.
bool HasFreeDescriptors(int count);

// Installs `handler` for `signalNumber` with `flags` and an empty mask.
bool InstallSignalHandler(int signalNumber, void (*handler)(int), int flags);

// A shutdown signal has arrived.
bool ShutdownSignalled();
// A status signal has arrived since the last call.
bool TakeStatusSignal();

}  // namespace veltor
