// Signal handling shared by the process set-up and the terminal.
#pragma once

namespace veltor {

// Installs `handler` for `signalNumber` with `flags` and an empty mask.
bool InstallSignalHandler(int signalNumber, void (*handler)(int), int flags);
// The same, unless the relay was started with the signal ignored (a shell
// without job control does that), which then stays ignored.
bool InstallUnlessIgnored(int signalNumber, void (*handler)(int), int flags);

}  // namespace veltor
