// How a benchmark run ends early: an interrupt (Ctrl-C, SIGTERM) or the first
// thing that went wrong for good. Nothing unwinds: the functions that meet it
// return false, and the run loop stops at the next measurement.
//
// Threads: CatchInterrupts and Fail belong to the main thread; Interrupted
// may be asked from any thread (the flooders and the client reader do).
#pragma once

#include <string>

namespace veltor::bench {

// Sets SIGINT and SIGTERM to raise the interrupt flag (no SA_RESTART, so a
// sleep or a wait in progress returns early) and ignores SIGPIPE.
void CatchInterrupts();
bool Interrupted();

// Records `what` unless something was recorded before; returns false so a
// caller can `return Fail("...")`.
bool Fail(std::string what);

// True once interrupted or once Fail was called.
bool Aborted();
// Why: "interrupted" wins over a failure it may have caused.
std::string AbortReason();

}  // namespace veltor::bench
