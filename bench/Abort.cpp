#include "bench/Abort.h"

#include <csignal>
#include <utility>

namespace veltor::bench {

namespace {

volatile sig_atomic_t gInterrupted = 0;
void OnInterrupt(int) { gInterrupted = 1; }

std::string& FirstFailure() {
  static std::string failure;
  return failure;
}

}  // namespace

void CatchInterrupts() {
  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction stop{};
  stop.sa_handler = OnInterrupt;
  ::sigaction(SIGINT, &stop, nullptr);
  ::sigaction(SIGTERM, &stop, nullptr);
}

bool Interrupted() { return gInterrupted != 0; }

bool Fail(std::string what) {
  if (FirstFailure().empty()) FirstFailure() = std::move(what);
  return false;
}

bool Aborted() { return Interrupted() || !FirstFailure().empty(); }

std::string AbortReason() {
  if (Interrupted()) return "interrupted";
  return FirstFailure().empty() ? "a measurement could not go on" : FirstFailure();
}

}  // namespace veltor::bench
