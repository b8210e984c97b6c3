#include "relay/Keys.h"

#include "base/Constants.h"

namespace veltor {

namespace {
constexpr int kMaxSequenceBytes = 16;
}  // namespace

void TerminalKeys::DiscardEscapeSequence(int introducer) {
  if (introducer == 'O') {  // SS3: one final byte (F1 to F4 on many terminals)
    input_.ReadByte(kEscSequenceWaitMs);
    return;
  }
  if (introducer != '[') return;  // Alt+key: the byte after ESC was the whole of it
  // CSI: parameter bytes until a final byte in 0x40..0x7E.
  for (int i = 0; i < kMaxSequenceBytes; ++i) {
    const int byte = input_.ReadByte(kEscSequenceWaitMs);
    if (byte < 0 || (byte >= 0x40 && byte <= 0x7E)) return;
  }
}

bool TerminalKeys::WaitForKey(int waitMs, WakeSignal* wake) {
  if (!input_.TakeKeys()) return false;
  input_.WaitReadable(waitMs, wake);
  return true;
}

int TerminalKeys::PollKey() {
  if (!input_.TakeKeys()) return kNoKey;
  const int byte = input_.ReadByte(0);
  if (byte < 0) return kNoKey;
  if (!input_.SendsEscapeSequences() || byte != kKeyEsc) return byte;

  // On a terminal ESC also begins the sequences of special keys; those arrive
  // all at once, while a pressed ESC stands alone.
  const int next = input_.ReadByte(kEscSequenceWaitMs);
  if (next < 0) return kKeyEsc;
  DiscardEscapeSequence(next);
  return kNoKey;
}

}  // namespace veltor
