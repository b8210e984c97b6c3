// StreamLog (--stream-log): every byte the relay hands on from the server,
// appended to a file by a writer thread of its own, so that a disk that
// stalls or fills never holds a pass, a client or a signal.
//
// The file is PATH, opened for appending and created with mode 0640. With a
// rotation size, PATH becomes PATH.1 (PATH.1 becomes PATH.2 and so on, `keep`
// old files kept; with 0 none) when a write would make it larger, the write
// split at the bound, so PATH.N ... PATH.1 PATH is the stream without a gap or
// an overlap. A PATH that exists is appended to and its size counts.
// What the file has not yet taken waits in a buffer of a fixed size; beyond
// it bytes are dropped and counted. Bytes reach the file in batches, at most
// kStreamLogBatchMs after they came, sooner once kStreamLogBatchBytes wait.
// A failed open, write or rotation is tried again at the next reopen or
// rotation, or after kStreamLogRetryMs.
//
// Lines on standard error, each after the time stamp and "stream log PATH: ":
//   "<the system's error>"        an open or write failed; once until one works
//   "writing again"               the first write that works after that
//   "cannot rotate: <error>"      once until a rotation works
//   "buffer full, N bytes dropped"                   the first drop
//   "buffer has room again, N bytes dropped in all"  the first append kept whole after it
//   "N bytes dropped in all"      at exit, while still dropping
//   "N bytes not written at exit" what the disk did not take in time
//
// Threads: construction, Start, Append and destruction on the main thread;
// RequestReopen from any thread; only the writer touches the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "base/Constants.h"

namespace veltor {

class StreamLog {
 public:
  // `rotateBytes` 0: never rotated. `bufferBytes` (at least 1) bounds what
  // may wait for the disk.
  StreamLog(std::string path, int64_t rotateBytes, int keep, size_t bufferBytes = kStreamLogBufferBytes);
  // Waits at most kStreamLogExitWaitMs for the writer to write what is
  // buffered; a writer still held by the disk then is left to the process's
  // end, owning only its own state.
  ~StreamLog();
  StreamLog(const StreamLog&) = delete;
  StreamLog& operator=(const StreamLog&) = delete;

  // Starts the writer, which opens PATH at once. False (with a line on
  // standard error) when the system gives no thread.
  bool Start();
  // Copies the bytes into the buffer without waiting; what does not fit is dropped.
  void Append(const uint8_t* bytes, size_t length);
  // Closes PATH and opens it again (after logrotate has moved it away).
  void RequestReopen();
  // Bytes dropped since the start.
  uint64_t DroppedBytes() const { return droppedBytes_; }
  // Bytes waiting for the disk now.
  size_t BufferedBytes() const;

 private:
  struct Shared;
  static void RunWriter(Shared& shared);
  void NoteDropped(size_t dropped);

  std::shared_ptr<Shared> shared_;
  std::thread writer_;
  bool dropping_ = false;
  uint64_t droppedInEpisode_ = 0;
  uint64_t droppedBytes_ = 0;
};

}  // namespace veltor
