#include "core/Keyboard.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <initializer_list>

#include "core/Constants.h"

namespace veltor {

namespace {

// Saved for the signal handlers and atexit, which can reach nothing else.
termios savedMode{};
int savedModeFd = -1;
volatile sig_atomic_t savedModeValid = 0;

constexpr int kMaxSequenceBytes = 16;

// A crash must not leave the operator's terminal without echo. Installed only
// with raw mode, so other runs keep the default (and sanitizer) handlers.
void OnFatalSignal(int signalNumber) {
  RestoreTerminalMode();
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);
}

void RestoreTerminalOnCrash() {
  struct sigaction action {};
  action.sa_handler = OnFatalSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  for (int signalNumber : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(signalNumber, &action, nullptr);
}

}  // namespace

void RestoreTerminalMode() {
  if (savedModeValid != 0) tcsetattr(savedModeFd, TCSAFLUSH, &savedMode);
}

TerminalKeys::TerminalKeys(int fd) : fd_(fd) {
  isTerminal_ = isatty(fd_) == 1;
  if (!isTerminal_) return;
  // Started in the background of a shell (`veltor file &`): touching or reading
  // the terminal would stop the process (SIGTTOU, SIGTTIN), so leave it to the
  // foreground job and take no keys; signals still work.
  if (tcgetpgrp(fd_) != getpgrp()) {
    endOfInput_ = true;
    return;
  }
  termios mode{};
  if (tcgetattr(fd_, &mode) != 0) return;
  savedMode = mode;
  savedModeFd = fd_;
  savedModeValid = 1;
  static bool atExitRegistered = false;
  if (!atExitRegistered) {
    atExitRegistered = true;
    std::atexit(RestoreTerminalMode);
    RestoreTerminalOnCrash();
  }
  // No echo, no line editing, byte at a time. Signals (ISIG) and output
  // processing stay as they were, so Ctrl-C works and log lines stay aligned.
  mode.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | IEXTEN));
  mode.c_iflag &= static_cast<tcflag_t>(~(IXON | ICRNL));
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  rawModeSet_ = tcsetattr(fd_, TCSANOW, &mode) == 0;
}

TerminalKeys::~TerminalKeys() {
  if (rawModeSet_) RestoreTerminalMode();
}

int TerminalKeys::ReadByteWithin(int waitMs) {
  pollfd entry{fd_, POLLIN, 0};
  const int ready = poll(&entry, 1, waitMs);
  if (ready <= 0) return -1;
  if ((entry.revents & POLLNVAL) != 0) {
    endOfInput_ = true;
    return -1;
  }
  unsigned char byte = 0;
  const ssize_t got = read(fd_, &byte, 1);
  if (got == 1) return byte;
  if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) endOfInput_ = true;
  return -1;
}

void TerminalKeys::DiscardEscapeSequence(int introducer) {
  if (introducer == 'O') {  // SS3: one final byte (F1 to F4 on many terminals)
    ReadByteWithin(kEscSequenceWaitMs);
    return;
  }
  if (introducer != '[') return;  // Alt+key: the byte after ESC was the whole of it
  // CSI: parameter bytes until a final byte in 0x40..0x7E.
  for (int i = 0; i < kMaxSequenceBytes; ++i) {
    const int byte = ReadByteWithin(kEscSequenceWaitMs);
    if (byte < 0 || (byte >= 0x40 && byte <= 0x7E)) return;
  }
}

int TerminalKeys::PollKey() {
  if (endOfInput_) return kNoKey;
  const int byte = ReadByteWithin(0);
  if (byte < 0) return kNoKey;
  if (!isTerminal_ || byte != kKeyEsc) return byte;

  // On a terminal ESC also begins the sequences of special keys; those arrive
  // all at once, while a pressed ESC stands alone.
  const int next = ReadByteWithin(kEscSequenceWaitMs);
  if (next < 0) return kKeyEsc;
  DiscardEscapeSequence(next);
  return kNoKey;
}

}  // namespace veltor
