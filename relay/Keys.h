// Operator keys from standard input.
//
// On a terminal the keys are read raw (no echo, no line buffering; Ctrl-C still
// raises SIGINT), and the terminal's mode is restored on every way out. Keys that
// a terminal sends as escape sequences (arrows, function keys) are read whole and
// ignored; a lone ESC is ESC. Ctrl-Z hands the terminal back to the shell and
// `fg` takes it again. When standard input is not a terminal its bytes are
// the keys, one per poll, and at end of input the keyboard simply goes quiet.
#pragma once

#include <termios.h>

#include "relay/RelayLoop.h"

namespace veltor {

class TerminalKeys final : public KeySource {
 public:
  explicit TerminalKeys(int fd);
  ~TerminalKeys() override;
  TerminalKeys(const TerminalKeys&) = delete;
  TerminalKeys& operator=(const TerminalKeys&) = delete;

  int PollKey() override;
  bool WaitForKey(int waitMs) override;
  bool IsTerminal() const { return isTerminal_; }
  bool AtEndOfInput() const { return endOfInput_; }

 private:
  // Reads one byte if it arrives within `waitMs`; -1 when none came.
  int ReadByteWithin(int waitMs);
  void DiscardEscapeSequence(int introducer);

  // Sets raw mode and takes keys when the relay's process group owns the
  // terminal; otherwise takes none until the next SIGCONT.
  void TakeTerminalIfForeground();

  int fd_;
  bool isTerminal_ = false;
  termios rawMode_{};
  bool rawModeSet_ = false;
  bool takingKeys_ = false;
  bool endOfInput_ = false;
};

// Puts back the terminal mode saved when raw mode was set, if any. Safe to call
// from a signal handler and more than once.
void RestoreTerminalMode();

}  // namespace veltor
