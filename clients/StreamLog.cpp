#include "clients/StreamLog.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <utility>

#include "base/Output.h"
#include "base/StartThread.h"
#include "platform/File.h"
#include "platform/LocalTime.h"

namespace veltor {

namespace {

using SteadyClock = std::chrono::steady_clock;

void Warn(const std::string& path, const std::string& what) {
  LogErr("%s: stream log %s: %s\n", TimestampNow().c_str(), path.c_str(), what.c_str());
}

// The writer's side: the file, its size, rotation and the failures being
// waited out. Every call may wait on the disk.
class LogFileWriter {
 public:
  LogFileWriter(const std::string& path, int64_t rotateBytes, int keep)
      : path_(path), rotateBytes_(rotateBytes), keep_(keep) {}

  bool IsOpen() const { return file_.IsOpen(); }
  SteadyClock::time_point RetryAt() const { return retryAt_; }

  // True when the file is open, or opening it worked; a file that failed is
  // opened again only once its retry is due, unless `now`.
  bool Ready(bool now) {
    if (file_.IsOpen()) return true;
    if (!now && SteadyClock::now() < retryAt_) return false;
    return Open();
  }

  void Reopen() {
    file_.Close();
    Open();
  }

  // Writes from `bytes`, rotating first when they would pass the bound, and
  // not past it unless rotating failed; how many bytes went (0 after a failure).
  size_t Write(const uint8_t* bytes, size_t length) {
    if (rotateBytes_ > 0 && fileBytes_ >= rotateBytes_ && SteadyClock::now() >= rotateRetryAt_ && !Rotate()) return 0;
    const int64_t room = rotateBytes_ - fileBytes_;
    if (rotateBytes_ > 0 && room > 0 && static_cast<int64_t>(length) > room) length = static_cast<size_t>(room);
    std::string error;
    const int64_t written = file_.Write(bytes, length, error);
    if (written <= 0) {
      Fail(written < 0 ? error : "the file took nothing");
      return 0;
    }
    fileBytes_ += written;
    if (failing_) {
      failing_ = false;
      Warn(path_, "writing again");
    }
    return static_cast<size_t>(written);
  }

 private:
  bool Open() {
    std::string error;
    if (!file_.Open(path_, error)) {
      Fail(error);
      return false;
    }
    fileBytes_ = std::max<int64_t>(file_.Size(error), 0);
    return true;
  }

  void Fail(const std::string& error) {
    file_.Close();
    if (!failing_) Warn(path_, error);
    failing_ = true;
    retryAt_ = SteadyClock::now() + std::chrono::milliseconds(kStreamLogRetryMs);
  }

  std::string Numbered(int n) const { return path_ + "." + std::to_string(n); }

  // Oldest first, so each rename replaces a file already moved on; a failed
  // one stops the rest, which would otherwise replace a file not yet moved.
  // Whatever happened, PATH is opened again: past the bound rather than lost.
  bool Rotate() {
    file_.Close();
    std::string error;
    bool moved = keep_ > 0 || RemoveFile(path_, error);
    for (int n = keep_ - 1; moved && n >= 1; --n) {
      moved = RenameFile(Numbered(n), Numbered(n + 1), error) != RenameOutcome::kFailed;
    }
    if (moved && keep_ > 0) moved = RenameFile(path_, Numbered(1), error) != RenameOutcome::kFailed;
    if (!moved && !rotateFailing_) Warn(path_, "cannot rotate: " + error);
    if (!moved) rotateRetryAt_ = SteadyClock::now() + std::chrono::milliseconds(kStreamLogRetryMs);
    rotateFailing_ = !moved;
    return Open();
  }

  const std::string& path_;
  const int64_t rotateBytes_;
  const int keep_;
  AppendFile file_;
  int64_t fileBytes_ = 0;
  bool failing_ = false;  // warned; quiet until a write works
  bool rotateFailing_ = false;
  SteadyClock::time_point retryAt_{};
  SteadyClock::time_point rotateRetryAt_{};
};

}  // namespace

// What the main thread and the writer share: the buffer, a ring of which the
// main thread fills the free part and the writer empties the used part.
struct StreamLog::Shared {
  Shared(std::string logPath, int64_t logRotateBytes, int logKeep, size_t bufferBytes)
      : path(std::move(logPath)),
        rotateBytes(logRotateBytes),
        keep(logKeep),
        capacity(std::max<size_t>(bufferBytes, 1)),
        batchBytes(std::max<size_t>(std::min(kStreamLogBatchBytes, capacity / 2), 1)),
        ring(std::make_unique_for_overwrite<uint8_t[]>(capacity)) {}

  const std::string path;
  const int64_t rotateBytes;
  const int keep;
  const size_t capacity;
  const size_t batchBytes;  // a batch this large is written at once; a small buffer never waits full
  const std::unique_ptr<uint8_t[]> ring;

  std::mutex lock;  // guards the fields below; held to copy and count, never for the disk
  std::condition_variable changed;
  size_t oldest = 0;  // the first byte the file has not taken
  size_t used = 0;
  bool reopenRequested = false;
  bool stopRequested = false;
  bool writerWaiting = false;
  bool writerDone = false;
};

StreamLog::StreamLog(std::string path, int64_t rotateBytes, int keep, size_t bufferBytes)
    : shared_(std::make_shared<Shared>(std::move(path), rotateBytes, keep, bufferBytes)) {}

StreamLog::~StreamLog() {
  Shared& s = *shared_;
  if (dropping_) Warn(s.path, std::to_string(droppedInEpisode_) + " bytes dropped in all");
  bool finished = false;
  size_t unwritten = 0;
  {
    std::unique_lock<std::mutex> guard(s.lock);
    s.stopRequested = true;
    s.changed.notify_all();
    if (writer_.joinable()) {
      finished = s.changed.wait_for(guard, std::chrono::milliseconds(kStreamLogExitWaitMs), [&s] { return s.writerDone; });
    }
    unwritten = s.used;
  }
  if (writer_.joinable()) {
    // A write stuck on a dead disk cannot be interrupted, and must not hold the
    // relay's exit: the writer keeps the shared state alive by itself.
    if (finished) {
      writer_.join();
    } else {
      writer_.detach();
    }
  }
  if (unwritten > 0) Warn(s.path, std::to_string(unwritten) + " bytes not written at exit");
}

bool StreamLog::Start() {
  if (StartThread(writer_, [shared = shared_] { RunWriter(*shared); })) return true;
  Warn(shared_->path, "no thread to write it");
  return false;
}

void StreamLog::Append(const uint8_t* bytes, size_t length) {
  if (length == 0) return;
  Shared& s = *shared_;
  size_t taken = 0;
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    taken = std::min(length, s.capacity - s.used);
    const size_t end = (s.oldest + s.used) % s.capacity;
    const size_t tillWrap = std::min(taken, s.capacity - end);
    std::memcpy(s.ring.get() + end, bytes, tillWrap);
    std::memcpy(s.ring.get(), bytes + tillWrap, taken - tillWrap);
    const size_t usedBefore = s.used;
    s.used += taken;
    // The first bytes start a batch; a batch grown to its size ends it early.
    const bool batchFull = usedBefore < s.batchBytes && s.used >= s.batchBytes;
    wake = s.writerWaiting && taken > 0 && (usedBefore == 0 || batchFull);
  }
  if (wake) s.changed.notify_one();
  NoteDropped(length - taken);
}

void StreamLog::RequestReopen() {
  std::lock_guard<std::mutex> guard(shared_->lock);
  shared_->reopenRequested = true;
  shared_->changed.notify_all();
}

size_t StreamLog::BufferedBytes() const {
  std::lock_guard<std::mutex> guard(shared_->lock);
  return shared_->used;
}

void StreamLog::NoteDropped(size_t dropped) {
  if (dropped == 0) {
    if (dropping_) Warn(shared_->path, "buffer has room again, " + std::to_string(droppedInEpisode_) + " bytes dropped in all");
    dropping_ = false;
    return;
  }
  droppedBytes_ += dropped;
  droppedInEpisode_ = dropping_ ? droppedInEpisode_ + dropped : dropped;
  if (!dropping_) Warn(shared_->path, "buffer full, " + std::to_string(dropped) + " bytes dropped");
  dropping_ = true;
}

void StreamLog::RunWriter(Shared& s) {
  LogFileWriter file(s.path, s.rotateBytes, s.keep);
  file.Ready(true);  // at once, so a PATH that cannot be written is reported at the start
  for (;;) {
    bool reopen = false;
    bool stopping = false;
    size_t oldest = 0;
    size_t available = 0;
    {
      std::lock_guard<std::mutex> guard(s.lock);
      reopen = std::exchange(s.reopenRequested, false);
      stopping = s.stopRequested;
      oldest = s.oldest;
      available = std::min(s.used, s.capacity - oldest);  // up to the ring's end
    }
    if (reopen) {
      file.Reopen();
      continue;
    }
    if (available > 0 && file.Ready(stopping)) {
      // The main thread only writes past `used`, so these bytes hold still without the lock.
      const size_t written = file.Write(s.ring.get() + oldest, available);
      {
        std::lock_guard<std::mutex> guard(s.lock);
        s.oldest = (oldest + written) % s.capacity;
        s.used -= written;
      }
      if (written > 0 || !stopping) continue;
    }
    if (stopping) break;  // all written, or the disk refused the rest
    // Data wakes the writer only when it may write it: a failed file is tried
    // again at its retry time, and only for data. Then a batch gathers.
    std::unique_lock<std::mutex> guard(s.lock);
    const SteadyClock::time_point now = SteadyClock::now();
    const bool mayWrite = file.IsOpen() || now >= file.RetryAt();
    const SteadyClock::time_point until = mayWrite ? now + std::chrono::milliseconds(kWorkerIdleWaitMs) : file.RetryAt();
    s.writerWaiting = true;
    s.changed.wait_until(guard, until, [&] {
      return s.reopenRequested || s.stopRequested || (s.used > 0 && mayWrite);
    });
    if (s.used > 0 && mayWrite) {
      s.changed.wait_until(guard, SteadyClock::now() + std::chrono::milliseconds(kStreamLogBatchMs), [&] {
        return s.reopenRequested || s.stopRequested || s.used >= s.batchBytes;
      });
    }
    s.writerWaiting = false;
  }
  std::lock_guard<std::mutex> guard(s.lock);
  s.writerDone = true;
  s.changed.notify_all();
}

}  // namespace veltor
