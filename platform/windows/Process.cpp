#include "platform/Process.h"

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>

#include "base/Output.h"
#include "platform/SystemSockets.h"

namespace veltor {

namespace {

std::atomic<bool> shutdownRequested{false};
std::atomic<WakeSignal*> signalWake{nullptr};

// How long closing the console window, a log-off or a system shutdown waits
// for the relay's own shutdown; Windows ends the process itself after 5 s.
constexpr DWORD kCloseEventGraceMs = 4500;

// Runs on a thread of its own that Windows starts for each event.
BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  shutdownRequested = true;
  if (WakeSignal* wake = signalWake.load()) wake->Raise();
  // For a closing window, returning ends the process at once: give the loop
  // its orderly shutdown first (its exit ends this thread with it).
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(kCloseEventGraceMs);
  }
  return TRUE;
}

// Started without a console or with a stream closed (a service, a GUI
// launcher), the runtime has no stream to write to: give it the null device,
// so a log line is dropped rather than the relay stopped.
bool EnsureStandardStream(std::FILE* stream, DWORD which, const char* mode) {
  const HANDLE handle = GetStdHandle(which);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE && _fileno(stream) >= 0) return true;
  return std::freopen("NUL", mode, stream) != nullptr;
}

}  // namespace

bool SetUpProcess() {
  bool ok = EnsureStandardStream(stdin, STD_INPUT_HANDLE, "rb");
  ok = EnsureStandardStream(stdout, STD_OUTPUT_HANDLE, "wb") && ok;
  ok = EnsureStandardStream(stderr, STD_ERROR_HANDLE, "wb") && ok;
  // Binary streams and CR LF written by the relay itself: byte for byte what
  // the runtime's text mode would give, but always in one write per message.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  UseCrLfLineEnds();
  ok = EnsureSocketsStarted() && ok;
  ok = SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0 && ok;
  return ok;
}

void WakeOnSignals(WakeSignal* wake) { signalWake = wake; }

bool ShutdownRequested() { return shutdownRequested; }

// Windows has no status signal: the status table comes from the S key.
bool TakeStatusRequest() { return false; }

// Nor a reopen signal: nothing on Windows moves a log away and signals.
bool TakeReopenRequest() { return false; }

// Sockets on Windows are handles without a small per-process limit.
bool HasFreeDescriptors(int) { return true; }

}  // namespace veltor
