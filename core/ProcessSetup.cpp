#include "core/ProcessSetup.h"

#include <sys/resource.h>

#include <csignal>
#include <initializer_list>


namespace veltor {

namespace {

volatile sig_atomic_t shutdownSignalled = 0;
volatile sig_atomic_t statusSignalled = 0;

void OnShutdownSignal(int) { shutdownSignalled = 1; }
void OnStatusSignal(int) { statusSignalled = 1; }

bool Install(int signalNumber, void (*handler)(int), int flags) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = flags;
  return sigaction(signalNumber, &action, nullptr) == 0;
}

void RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);  // best effort: the relay runs on with the old limit
}

}  // namespace

bool SetUpProcess() {
  bool ok = Install(SIGPIPE, SIG_IGN, 0);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) ok = Install(signalNumber, OnShutdownSignal, SA_RESTART) && ok;
  ok = Install(SIGUSR1, OnStatusSignal, SA_RESTART) && ok;
  RaiseOpenFileLimit();
  return ok;
}

bool SignalRequests::ShutdownRequested() { return shutdownSignalled != 0; }

bool SignalRequests::TakeStatusRequest() {
  if (statusSignalled == 0) return false;
  statusSignalled = 0;
  return true;
}

}  // namespace veltor
