#include "platform/Terminal.h"

#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <initializer_list>
#include <mutex>

#include "platform/posix/Signals.h"

namespace veltor {

namespace {

// Saved for the signal handlers and atexit, which can reach nothing else.
termios savedMode{};
termios rawMode{};
volatile sig_atomic_t savedModeValid = 0;
// Raw mode is on the terminal now; only then is there anything to restore, and
// restoring from the background would stop the process (SIGTTOU).
volatile sig_atomic_t rawModeActive = 0;
volatile sig_atomic_t continuedSignalled = 0;

// Puts back the terminal mode saved when raw mode was set, if any. Safe to call
// from a signal handler and more than once.
void RestoreTerminalMode() {
  if (savedModeValid == 0 || rawModeActive == 0) return;
  rawModeActive = 0;
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedMode);
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

// Installed once, and only for a terminal, so other runs keep the default
// (and sanitizer) handlers.
void InstallTerminalHandlers() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    std::atexit(RestoreTerminalMode);
    for (int signalNumber : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGQUIT}) {
      InstallUnlessIgnored(signalNumber, OnFatalSignal, static_cast<int>(SA_RESETHAND));
    }
    InstallUnlessIgnored(SIGTSTP, OnStopSignal, SA_RESTART);
    InstallUnlessIgnored(SIGCONT, OnContinueSignal, SA_RESTART);
  });
}

bool InForeground() { return tcgetpgrp(STDIN_FILENO) == getpgrp(); }

}  // namespace

struct ConsoleInput::State {
  bool isTerminal = false;
  bool modeSaved = false;
  bool rawModeSet = false;
  bool takingKeys = false;
  bool ended = false;

  void TakeTerminalIfForeground() {
    // In the background of a shell (`veltor file &`, or `bg` after Ctrl-Z),
    // setting or reading the terminal would stop the process (SIGTTOU, SIGTTIN):
    // leave it to the foreground job and take no keys; signals still work.
    takingKeys = InForeground();
    if (takingKeys && tcsetattr(STDIN_FILENO, TCSANOW, &rawMode) == 0) {
      rawModeSet = true;
      rawModeActive = 1;
    }
  }
};

ConsoleInput::ConsoleInput() : state_(std::make_unique<State>()) {
  State& state = *state_;
  state.isTerminal = isatty(STDIN_FILENO) == 1;
  if (!state.isTerminal) return;
  termios mode{};
  if (tcgetattr(STDIN_FILENO, &mode) != 0) {
    state.takingKeys = InForeground();  // keys as they come, line by line
    return;
  }
  savedMode = mode;
  // No echo, no line editing, byte at a time. Signals (ISIG) and output
  // processing stay as they were, so Ctrl-C works and log lines stay aligned.
  rawMode = mode;
  rawMode.c_lflag &= static_cast<tcflag_t>(~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN));
  rawMode.c_iflag &= static_cast<tcflag_t>(~static_cast<tcflag_t>(IXON | ICRNL));
  rawMode.c_cc[VMIN] = 1;
  rawMode.c_cc[VTIME] = 0;
  savedModeValid = 1;
  state.modeSaved = true;
  InstallTerminalHandlers();
  state.TakeTerminalIfForeground();
}

bool ConsoleInput::SendsEscapeSequences() const { return state_->isTerminal; }

ConsoleInput::~ConsoleInput() {
  if (state_->rawModeSet) RestoreTerminalMode();
}

bool ConsoleInput::TakeKeys() {
  State& state = *state_;
  // `fg` on a job that runs in the background sends no SIGCONT, so while in
  // the background look each time whether the terminal has come back.
  if (state.isTerminal && state.modeSaved && (continuedSignalled != 0 || !state.takingKeys)) {
    continuedSignalled = 0;
    state.TakeTerminalIfForeground();
  }
  return !state.ended && (!state.isTerminal || state.takingKeys);
}

int ConsoleInput::ReadByte(int waitMs) {
  pollfd entry{STDIN_FILENO, POLLIN, 0};
  const int ready = poll(&entry, 1, waitMs);
  if (ready <= 0) return -1;
  if ((entry.revents & POLLNVAL) != 0) {
    state_->ended = true;
    return -1;
  }
  unsigned char byte = 0;
  const ssize_t got = read(STDIN_FILENO, &byte, 1);
  if (got == 1) return byte;
  if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) state_->ended = true;
  return -1;
}

void ConsoleInput::WaitReadable(int waitMs, WakeSignal* wake) {
  // Returns early for a key, the end of input (found by the next read), the
  // wake signal (left raised for its owner) or a signal.
  const bool wakeable = wake != nullptr && wake->NativeHandle() != kNoSocket;
  pollfd entries[2] = {{STDIN_FILENO, POLLIN, 0}, {wakeable ? wake->NativeHandle() : -1, POLLIN, 0}};
  if (poll(entries, wakeable ? 2 : 1, waitMs) > 0 && (entries[0].revents & POLLNVAL) != 0) state_->ended = true;
}

}  // namespace veltor
