// Runs a program under test as a child process, the way an operator would run
// it from a shell: arguments on the command line, keys on standard input, and
// its two output streams captured for the test to examine.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

namespace veltor::testing {

enum class OutputStream { Stdout = 0, Stderr = 1 };

// Non-overlapping occurrences of `needle` in `haystack`; 0 for an empty needle.
size_t CountOccurrences(std::string_view haystack, std::string_view needle);

// Collects a child's standard output and standard error while it runs: one
// background thread reads both pipes so the child never blocks on a full
// pipe, whatever the test is doing.
class OutputCapture {
 public:
  OutputCapture() = default;
  // Stops the reader (bounded) and closes the pipes.
  ~OutputCapture();

  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // Takes ownership of the read ends of the two pipes and starts the reader.
  // A stream given as -1 is not captured and counts as ended at once.
  // Call at most once. With `crLfLines`, every line must end in CR LF: the
  // CR is dropped, and a line that ends in LF alone is marked
  // "[LF without CR]" so that no exact comparison can pass.
  void Start(int stdoutFd, int stderrFd, bool crLfLines = false);

  // A copy of everything read from the stream so far.
  std::string Snapshot(OutputStream stream) const;
  size_t Count(OutputStream stream, std::string_view needle) const;

  // True as soon as the stream holds `needle` at least `occurrences` times.
  // False when the timeout passes first, or at once when the stream has ended
  // without enough occurrences (no more output can arrive).
  bool WaitFor(OutputStream stream, std::string_view needle,
               std::chrono::milliseconds timeout, size_t occurrences);

  // True once both pipes have reached end of file, i.e. every writer (the
  // child and anything that inherited its pipes) has gone and all output has
  // been read. False if `deadline` passes first.
  bool WaitForEnd(std::chrono::steady_clock::time_point deadline);

  // Asks the reader to stop even without end of file, joins it and closes the
  // pipes; afterwards both streams count as ended. Idempotent; returns within
  // about one reader poll interval.
  void Stop();

 private:
  void ReadLoop();
  void Append(size_t stream, const char* bytes, size_t count);

  mutable std::mutex mutex_;           // guards buffers_ and ended_
  std::condition_variable changed_;    // signalled on new output and on end of file
  std::string buffers_[2];
  bool ended_[2] = {false, false};
  bool crLfLines_ = false;
  bool pendingCr_[2] = {false, false};  // a CR ended the last chunk read

  int fds_[2] = {-1, -1};              // touched by the reader only while it runs
  std::atomic<bool> stopRequested_{false};
  std::thread reader_;                 // started last, joined in Stop()
};

// Descriptors a child gets instead of the pipes ChildProcess would make, for
// a test that plays a stuck log reader or an input at its end. -1 keeps the
// pipe. The caller keeps its own descriptors (the child has copies); a stream
// given here is not captured: its output reads as empty and already ended.
struct ChildStdio {
  int in = -1;
  int out = -1;
  int err = -1;
};

// Threads: Start, WriteStdin, CloseStdin and the destructor belong to the
// test's own thread. The output accessors and the process-state calls
// (WaitForExit, Signal, Running, Pid) may be used from any thread.
class ChildProcess {
 public:
  ChildProcess() = default;
  // Closes stdin; a child still running is killed with SIGKILL and reaped;
  // the output reader is joined. Never leaves a zombie or a stray child.
  ~ChildProcess();

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `binary` (searched in PATH when it holds no '/') with `args` as
  // argv[1..]. Standard input is a pipe from this object, standard output and
  // standard error are pipes read in the background. False if the program
  // could not be started or this object already started one.
  // A program that writes CR LF line ends (the Windows relay) is read with
  // `crLfLines` (see OutputCapture::Start). `given` replaces pipes.
  bool Start(const std::string& binary, const std::vector<std::string>& args, bool crLfLines = false,
             ChildStdio given = {});
  // "NAME=value" entries the next Start puts into the child's environment,
  // over the test's own (a service manager's NOTIFY_SOCKET, for example).
  void SetEnvironment(std::vector<std::string> variables) { extraEnvironment_ = std::move(variables); }

  // Writes all of `bytes` to the child's standard input within 5 s. False if
  // stdin is closed, the child has closed its end, or the pipe stays full.
  bool WriteStdin(std::string_view bytes);
  // Gives the child end of file on standard input. Idempotent.
  void CloseStdin();

  // Snapshots of everything the child has written so far.
  std::string Stdout() const;
  std::string Stderr() const;

  // True as soon as the stream holds `needle` at least `occurrences` times
  // (non-overlapping). False on time-out, or early once the stream has ended.
  bool WaitForStdout(std::string_view needle, std::chrono::milliseconds timeout,
                     size_t occurrences = 1);
  bool WaitForStderr(std::string_view needle, std::chrono::milliseconds timeout,
                     size_t occurrences = 1);

  size_t CountInStdout(std::string_view needle) const;
  size_t CountInStderr(std::string_view needle) const;

  // True once the child has exited and both output pipes have been read to
  // end of file, so Stdout()/Stderr() are then complete. `exitStatus`
  // (optional) receives the exit code 0..255, or 128 + signal number if a
  // signal ended the child. False on time-out or if nothing was started.
  bool WaitForExit(std::chrono::milliseconds timeout, int* exitStatus);

  // Sends `sig` to the child unless it has already been reaped.
  void Signal(int sig);
  // False before Start and once the child has exited.
  bool Running();
  // The child's process id, or -1 before a successful Start.
  pid_t Pid();

 private:
  bool ReapLocked();  // caller holds stateMutex_

  std::mutex stateMutex_;  // guards pid_, reaped_, exitStatus_
  pid_t pid_ = -1;
  bool reaped_ = false;
  int exitStatus_ = -1;

  int stdinFd_ = -1;       // parent's write end, non-blocking
  std::vector<std::string> extraEnvironment_;
  OutputCapture output_;   // declared last: its reader stops before the rest goes
};

// A program run to its end: its exit status (-1 when it did not start or did
// not end within the cap) and everything it wrote.
struct ProgramRun {
  int status = -1;
  std::string out;
  std::string err;
};
ProgramRun RunProgram(const std::string& binary, const std::vector<std::string>& args,
                      std::chrono::milliseconds cap = std::chrono::milliseconds(10000));

}  // namespace veltor::testing
