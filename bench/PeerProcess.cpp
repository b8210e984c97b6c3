#include "bench/PeerProcess.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <optional>
#include <utility>

#include "bench/Abort.h"

namespace veltor::bench {

namespace {

using testing::OutputStream;

void WriteLog(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

}  // namespace

bool PeerProcess::Start(Launch launch) {
  launch_ = std::move(launch);
  started_ = process_.Start(launch_.binary, launch_.args);
  return started_ || Fail("could not start " + launch_.binary);
}

pid_t PeerProcess::Pid() { return started_ && !stopped_ ? process_.Pid() : -1; }

OutputStream PeerProcess::EventStream() const {
  return launch_.eventsOnStderr ? OutputStream::Stderr : OutputStream::Stdout;
}

int PeerProcess::Admitted() const {
  const std::string& marker = launch_.admittedMarker;
  return static_cast<int>(launch_.eventsOnStderr ? process_.CountInStderr(marker) : process_.CountInStdout(marker));
}

int PeerProcess::Disconnected() const {
  const std::string& marker = launch_.disconnectedMarker;
  if (marker.empty()) return 0;
  return static_cast<int>(launch_.eventsOnStderr ? process_.CountInStderr(marker) : process_.CountInStdout(marker));
}

bool PeerProcess::WaitAdmitted(int count, Ns deadline) {
  const size_t wanted = static_cast<size_t>(count);
  const std::string& marker = launch_.admittedMarker;
  while (!Interrupted() && !stopped_) {
    // In slices, so an interrupt is noticed within one.
    const std::chrono::milliseconds slice = std::min(MsUntil(deadline), std::chrono::milliseconds(100));
    const bool seen = EventStream() == OutputStream::Stderr ? process_.WaitForStderr(marker, slice, wanted)
                                                            : process_.WaitForStdout(marker, slice, wanted);
    if (seen) return true;
    if (NowNs() >= deadline || !process_.Running()) return false;
  }
  return false;
}

void PeerProcess::SendKey(char key) {
  if (started_ && !stopped_) process_.WriteStdin(std::string(1, key));
}

std::string PeerProcess::OtherOutput() const {
  return EventStream() == OutputStream::Stderr ? process_.Stdout() : process_.Stderr();
}

std::string PeerProcess::Stop() {
  if (!started_ || stopped_) return status_;
  struct Step {
    int signal;  // 0: ESC at the console
    std::chrono::milliseconds grace;
  };
  std::vector<Step> steps{{SIGTERM, std::chrono::seconds(5)}, {SIGKILL, std::chrono::seconds(5)}};
  if (launch_.stopsOnEscape) steps.insert(steps.begin(), Step{0, std::chrono::seconds(10)});
  int status = -1;
  std::optional<size_t> reapedAt;
  for (size_t i = 0; i < steps.size() && !reapedAt; ++i) {
    if (steps[i].signal == 0) SendKey('\x1b');
    else process_.Signal(steps[i].signal);
    if (process_.WaitForExit(steps[i].grace, &status)) reapedAt = i;
  }
  if (!reapedAt) {
    status_ = "could not be reaped";
  } else {
    const int sent = steps[*reapedAt].signal;
    if (*reapedAt > 0) status_ = sent == SIGTERM ? "needed SIGTERM" : "needed SIGKILL";
    auto add = [this](const std::string& what) { status_ += (status_.empty() ? "" : ", ") + what; };
    // The kit reports a signal's end as 128 + its number.
    const bool bySignal = status > 128;
    if (!bySignal && status > 0) add("exit status " + std::to_string(status));
    if (bySignal && status - 128 != sent) add("signal " + std::to_string(status - 128));
  }
  stopped_ = true;
  process_.CloseStdin();
  SaveLogs();
  return status_;
}

void PeerProcess::SaveLogs() const {
  const bool eventsOnStderr = EventStream() == OutputStream::Stderr;
  WriteLog(launch_.eventsLog, eventsOnStderr ? process_.Stderr() : process_.Stdout());
  WriteLog(launch_.otherLog, eventsOnStderr ? process_.Stdout() : process_.Stderr());
}

}  // namespace veltor::bench
