// One peer (the relay or ncat) as a child process: started with the kit's
// ChildProcess, its event stream watched for admissions and disconnections,
// keys typed at its console, and stopped the way an operator would.
//
// Single-threaded: the thread that runs the measurements.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "bench/BenchClock.h"
#include "tests/support/ChildProcess.h"

namespace veltor::bench {

// How to start one peer and read what it says.
struct Launch {
  std::string binary;
  std::vector<std::string> args;
  bool eventsOnStderr = false;     // the stream scanned for the lines below
  std::string admittedMarker;      // a line containing it reports one admitted connection
  std::string disconnectedMarker;  // empty if the peer reports no disconnections
  bool stopsOnEscape = false;      // the relay stops on ESC at its console; ncat's ordinary stop is SIGTERM
  std::string eventsLog;           // where each stream is saved once the peer has stopped
  std::string otherLog;
};

class PeerProcess {
 public:
  PeerProcess() = default;
  ~PeerProcess() { Stop(); }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  // Its standard input is a pipe kept open and never written to but for keys:
  // ncat broadcasts what it reads there to every member, and the relay reads
  // its keys there. False (and Fail) if it could not be started.
  bool Start(Launch launch);

  // -1 before Start and once stopped.
  pid_t Pid();
  int Admitted() const;
  int Disconnected() const;
  // True once `count` admissions were reported; false at the deadline, on an
  // interrupt or once the peer has exited.
  bool WaitAdmitted(int count, Ns deadline);

  void SendKey(char key);
  // Everything on the stream that is not the event stream (the relay's status table).
  std::string OtherOutput() const;

  // The peer's ordinary stop first (ESC for the relay, SIGTERM for ncat);
  // then SIGTERM; SIGKILL as the last resort. Saves both streams to their
  // logs. Returns an empty string for a clean stop, else what went wrong.
  std::string Stop();

 private:
  testing::OutputStream EventStream() const;
  void SaveLogs() const;

  Launch launch_;
  testing::ChildProcess process_;
  bool started_ = false;
  bool stopped_ = false;
  std::string status_;
};

}  // namespace veltor::bench
