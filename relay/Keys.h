// The operator's keys, from standard input (ConsoleInput). A terminal sends
// arrows and function keys as escape sequences: they are read whole and
// ignored, and a lone ESC is ESC. Other input gives its bytes as keys, one per
// poll, and at its end the keyboard simply goes quiet.
#pragma once

#include "platform/Terminal.h"
#include "relay/RelayLoop.h"

namespace veltor {

class TerminalKeys final : public KeySource {
 public:
  int PollKey() override;
  bool WaitForKey(int waitMs, WakeSignal* wake) override;

 private:
  void DiscardEscapeSequence(int introducer);

  ConsoleInput input_;
};

}  // namespace veltor
