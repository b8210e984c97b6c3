#include "relay/Keys.h"

#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <initializer_list>

#include "base/Constants.h"
#include "platform/ProcessSetup.h"

namespace veltor {

namespace {

// Saved for the signal handlers and atexit, which can reach nothing else.
termios savedMode{};
int savedModeFd = -1;
volatile sig_atomic_t savedModeValid = 0;
// Raw mode is on the terminal now; only then is there anything to restore, and
// restoring from the background would stop the process (SIGTTOU).
volatile sig_atomic_t rawModeActive = 0;
volatile sig_atomic_t continuedSignalled = 0;

constexpr int kMaxSequenceBytes = 16;

// A signal the relay was started with ignored (a shell without job control
// does that) stays ignored.
bool InstallUnlessIgnored(int signalNumber, void (*handler)(int), int flags) {
  struct sigaction current {};
  if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) return false;
  return InstallSignalHandler(signalNumber, handler, flags);
}

// A crash or Ctrl-\ must not leave the operator's terminal without echo.
void OnFatalSignal(int signalNumber) {
  RestoreTerminalMode();
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);
}

// Ctrl-Z: give the shell its terminal mode back, stop for real, and once
// continued let the keyboard decide whether raw mode is ours again.
void OnStopSignal(int signalNumber) {
  const int savedErrno = errno;
  RestoreTerminalMode();
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  struct sigaction ours {};
  sigaction(signalNumber, &defaults, &ours);
  sigset_t stopOnly;
  sigemptyset(&stopOnly);
  sigaddset(&stopOnly, signalNumber);
  pthread_sigmask(SIG_UNBLOCK, &stopOnly, nullptr);
  raise(signalNumber);  // the process stops here until SIGCONT
  sigaction(signalNumber, &ours, nullptr);
  continuedSignalled = 1;
  errno = savedErrno;
}

void OnContinueSignal(int) { continuedSignalled = 1; }

// Installed only for a terminal, so other runs keep the default (and
// sanitizer) handlers.
void InstallTerminalHandlers() {
  for (int signalNumber : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGQUIT}) {
    InstallUnlessIgnored(signalNumber, OnFatalSignal, SA_RESETHAND);
  }
  InstallUnlessIgnored(SIGTSTP, OnStopSignal, SA_RESTART);
  InstallUnlessIgnored(SIGCONT, OnContinueSignal, SA_RESTART);
}

}  // namespace

void RestoreTerminalMode() {
  if (savedModeValid == 0 || rawModeActive == 0) return;
  rawModeActive = 0;
  tcsetattr(savedModeFd, TCSAFLUSH, &savedMode);
}

TerminalKeys::TerminalKeys(int fd) : fd_(fd) {
  isTerminal_ = isatty(fd_) == 1;
  if (!isTerminal_) return;
  termios mode{};
  if (tcgetattr(fd_, &mode) != 0) {
    takingKeys_ = tcgetpgrp(fd_) == getpgrp();  // keys as they come, line by line
    return;
  }
  savedMode = mode;
  savedModeFd = fd_;
  savedModeValid = 1;
  static bool handlersInstalled = false;
  if (!handlersInstalled) {
    handlersInstalled = true;
    std::atexit(RestoreTerminalMode);
    InstallTerminalHandlers();
  }
  // No echo, no line editing, byte at a time. Signals (ISIG) and output
  // processing stay as they were, so Ctrl-C works and log lines stay aligned.
  rawMode_ = mode;
  rawMode_.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | IEXTEN));
  rawMode_.c_iflag &= static_cast<tcflag_t>(~(IXON | ICRNL));
  rawMode_.c_cc[VMIN] = 1;
  rawMode_.c_cc[VTIME] = 0;
  TakeTerminalIfForeground();
}

TerminalKeys::~TerminalKeys() {
  if (rawModeSet_) RestoreTerminalMode();
}

void TerminalKeys::TakeTerminalIfForeground() {
  // In the background of a shell (`veltor file &`, or `bg` after Ctrl-Z),
  // setting or reading the terminal would stop the process (SIGTTOU, SIGTTIN):
  // leave it to the foreground job and take no keys; signals still work.
  takingKeys_ = tcgetpgrp(fd_) == getpgrp();
  if (takingKeys_ && tcsetattr(fd_, TCSANOW, &rawMode_) == 0) {
    rawModeSet_ = true;
    rawModeActive = 1;
  }
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

bool TerminalKeys::WaitForKey(int waitMs) {
  if (endOfInput_ || (isTerminal_ && !takingKeys_)) return false;
  // Returns early for a key, the end of input (read next, by PollKey) or a signal.
  pollfd entry{fd_, POLLIN, 0};
  if (::poll(&entry, 1, waitMs) > 0 && (entry.revents & POLLNVAL) != 0) endOfInput_ = true;
  return true;
}

int TerminalKeys::PollKey() {
  // `fg` on a job that runs in the background sends no SIGCONT, so while in
  // the background look each time whether the terminal has come back.
  if (isTerminal_ && savedModeValid != 0 && (continuedSignalled != 0 || !takingKeys_)) {
    continuedSignalled = 0;
    TakeTerminalIfForeground();
  }
  if (endOfInput_ || (isTerminal_ && !takingKeys_)) return kNoKey;
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
