// Standard input as the operator's keyboard.
//
// On a terminal the keys are read raw (no echo, no line buffering; Ctrl-C
// still raises SIGINT), and the terminal's own mode is restored on every way
// out: shutdown, exit, a crash, Ctrl-\. Ctrl-Z gives the shell its mode back
// and `fg` takes it again; in the background no keys are taken. Anything else
// (a pipe, a file, the null device) is read as it comes, until its end.
#pragma once

#include <memory>

#include "platform/WakeSignal.h"

namespace veltor {

class ConsoleInput {
 public:
  ConsoleInput();   // standard input
  ~ConsoleInput();  // the terminal's mode back
  ConsoleInput(const ConsoleInput&) = delete;
  ConsoleInput& operator=(const ConsoleInput&) = delete;

  // Special keys arrive as escape sequences for the reader to sort out (a
  // terminal); a Windows console has sorted them out already.
  bool SendsEscapeSequences() const;
  // True while keys may be read now: a terminal that this process owns (raw
  // mode is taken again when it has come back from the background), or other
  // input that has not ended.
  bool TakeKeys();
  // One byte if it comes within `waitMs`; -1 when none did.
  int ReadByte(int waitMs);
  // Waits up to `waitMs` for a byte, or for `wake` to be raised when given (a
  // signal may end it early too).
  void WaitReadable(int waitMs, WakeSignal* wake);

 private:
  // Each system's own: the terminal's mode flags on Linux, the queue of a
  // reading thread on Windows (which cannot wait on standard input and a
  // socket together).
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace veltor
