// Collects a child process's standard output and standard error while it runs.
//
// One background thread reads both pipes so the child never blocks on a full
// pipe, whatever the test is doing; tests look at snapshots or wait for text.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace veltor::testing {

enum class OutputStream { Stdout = 0, Stderr = 1 };

// Non-overlapping occurrences of `needle` in `haystack`; 0 for an empty needle.
size_t CountOccurrences(std::string_view haystack, std::string_view needle);

class OutputCapture {
 public:
  OutputCapture() = default;
  // Stops the reader (bounded) and closes the pipes.
  ~OutputCapture();

  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // Takes ownership of the read ends of the two pipes and starts the reader.
  // Call at most once.
  void Start(int stdoutFd, int stderrFd);

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

  mutable std::mutex mutex_;           // guards buffers_ and ended_
  std::condition_variable changed_;    // signalled on new output and on end of file
  std::string buffers_[2];
  bool ended_[2] = {false, false};

  int fds_[2] = {-1, -1};              // touched by the reader only while it runs
  std::atomic<bool> stopRequested_{false};
  std::thread reader_;                 // started last, joined in Stop()
};

}  // namespace veltor::testing
