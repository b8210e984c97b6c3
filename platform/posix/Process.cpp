#include "platform/Process.h"

#include "base/LogWriter.h"
#include "base/StartThread.h"
#include "platform/posix/Signals.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <csignal>
#include <initializer_list>
#include <vector>

namespace veltor {

namespace {

// A non-blocking standard stream that is full is looked at again this often.
constexpr int kStreamRetryWaitMs = 100;

volatile sig_atomic_t shutdownSignalled = 0;
volatile sig_atomic_t statusSignalled = 0;
volatile sig_atomic_t reopenSignalled = 0;

volatile sig_atomic_t signalWakeHandle = -1;

// Only async-signal-safe calls here: a write to the wake signal's eventfd.
void RaiseSignalWake() {
  const int handle = signalWakeHandle;
  if (handle < 0) return;
  const int savedErrno = errno;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = write(handle, &one, sizeof one);
  errno = savedErrno;
}

void OnShutdownSignal(int) {
  shutdownSignalled = 1;
  RaiseSignalWake();
}
void OnStatusSignal(int) {
  statusSignalled = 1;
  RaiseSignalWake();
}

void OnReopenSignal(int) {
  reopenSignalled = 1;
  RaiseSignalWake();
}

// Every other thread blocks the signals the operator sends, so their
// handlers run on the main thread, which owns the flags they set, and a
// thread held in a write (the log's, on a stuck reader) never takes them.
void KeepSignalsForTheMainThread() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGTSTP, SIGCONT, SIGQUIT}) {
    sigaddset(&signals, signalNumber);
  }
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

// Standard output or error as the log writer's one write per message; more
// calls only for what a pipe or terminal takes in part. Signals never reach
// the writer's thread, and a stream left non-blocking by whoever started the
// relay is waited for like a blocking one: this is the writer's own thread.
void WriteStandardStream(LogStream stream, const char* text, size_t length) {
  const int fd = stream == LogStream::Out ? STDOUT_FILENO : STDERR_FILENO;
  while (length > 0) {
    const ssize_t written = write(fd, text, length);
    if (written > 0) {
      text += written;
      length -= static_cast<size_t>(written);
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd wait{fd, POLLOUT, 0};
      poll(&wait, 1, kStreamRetryWaitMs);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else {
      return;  // closed or broken: the message is dropped
    }
  }
}

void RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);  // best effort: the relay runs on with the old limit
}

// A standard stream that was closed by whoever started the relay would hand
// its number to the first socket, and log lines would go into that socket.
bool EnsureStandardStreamsOpen() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened != fd) return false;  // the lowest free number must be this one
  }
  return true;
}

}  // namespace

bool InstallSignalHandler(int signalNumber, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  return sigaction(signalNumber, &action, nullptr) == 0;
}

bool InstallUnlessIgnored(int signalNumber, void (*handler)(int), int flags) {
  struct sigaction current {};
  if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) return false;
  return InstallSignalHandler(signalNumber, handler, flags);
}

bool SetUpProcess() {
  bool ok = EnsureStandardStreamsOpen();
  ok = InstallSignalHandler(SIGPIPE, SIG_IGN, 0) && ok;
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    ok = InstallSignalHandler(signalNumber, OnShutdownSignal, SA_RESTART) && ok;
  }
  ok = InstallSignalHandler(SIGUSR1, OnStatusSignal, SA_RESTART) && ok;
  // Always, with or without a stream log: SIGUSR2's default action would end
  // the relay when logrotate signals it.
  ok = InstallSignalHandler(SIGUSR2, OnReopenSignal, SA_RESTART) && ok;
  threadStartHook.store(KeepSignalsForTheMainThread);
  UseStreamWrite(WriteStandardStream);
  RaiseOpenFileLimit();
  return ok;
}

void WakeOnSignals(WakeSignal* wake) {
  signalWakeHandle = wake != nullptr ? wake->NativeHandle() : -1;
}

bool HasFreeDescriptors(int count) {
  std::vector<int> probes;
  probes.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const int fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) break;
    probes.push_back(fd);
  }
  const bool enough = static_cast<int>(probes.size()) == count;
  for (int fd : probes) close(fd);
  return enough;
}

bool ShutdownRequested() { return shutdownSignalled != 0; }

bool TakeStatusRequest() {
  if (statusSignalled == 0) return false;
  statusSignalled = 0;
  return true;
}

bool TakeReopenRequest() {
  if (reopenSignalled == 0) return false;
  reopenSignalled = 0;
  return true;
}

}  // namespace veltor
