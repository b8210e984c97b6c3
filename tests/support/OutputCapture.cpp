#include "tests/support/OutputCapture.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace veltor::testing {

namespace {

// The reader wakes at least this often to notice a stop request: a stray
// grandchild could hold a pipe open for ever, and Stop() must stay bounded.
constexpr int kReaderWakeMs = 20;
constexpr size_t kReadChunkBytes = 64 * 1024;

size_t Index(OutputStream stream) { return static_cast<size_t>(stream); }

}  // namespace

size_t CountOccurrences(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return 0;
  size_t count = 0;
  for (size_t at = haystack.find(needle); at != std::string_view::npos;
       at = haystack.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

OutputCapture::~OutputCapture() { Stop(); }

void OutputCapture::Start(int stdoutFd, int stderrFd) {
  fds_[0] = stdoutFd;
  fds_[1] = stderrFd;
  reader_ = std::thread([this] { ReadLoop(); });
}

std::string OutputCapture::Snapshot(OutputStream stream) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return buffers_[Index(stream)];
}

size_t OutputCapture::Count(OutputStream stream, std::string_view needle) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return CountOccurrences(buffers_[Index(stream)], needle);
}

bool OutputCapture::WaitFor(OutputStream stream, std::string_view needle,
                            std::chrono::milliseconds timeout, size_t occurrences) {
  const size_t i = Index(stream);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  bool found = false;
  changed_.wait_until(lock, deadline, [&] {
    found = CountOccurrences(buffers_[i], needle) >= occurrences;
    return found || ended_[i];
  });
  return found;
}

bool OutputCapture::WaitForEnd(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_until(lock, deadline, [&] { return ended_[0] && ended_[1]; });
}

void OutputCapture::Stop() {
  stopRequested_ = true;
  if (reader_.joinable()) reader_.join();
  for (int& fd : fds_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  // Waiters must not sleep out their whole timeout on a capture that is over.
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ended_[0] = ended_[1] = true;
  }
  changed_.notify_all();
}

void OutputCapture::ReadLoop() {
  bool open[2] = {fds_[0] >= 0, fds_[1] >= 0};
  char chunk[kReadChunkBytes];
  while (!stopRequested_ && (open[0] || open[1])) {
    // A negative fd makes poll() skip the entry, so a stream at end of file
    // stays in the array without being watched.
    pollfd watched[2] = {{open[0] ? fds_[0] : -1, POLLIN, 0},
                         {open[1] ? fds_[1] : -1, POLLIN, 0}};
    const int ready = ::poll(watched, 2, kReaderWakeMs);
    if (ready <= 0) continue;  // time-out or EINTR: look at the stop flag again

    for (size_t i = 0; i < 2; ++i) {
      if (!open[i] || watched[i].revents == 0) continue;
      const ssize_t n = ::read(fds_[i], chunk, sizeof(chunk));
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        if (n > 0) {
          buffers_[i].append(chunk, static_cast<size_t>(n));
        } else {
          ended_[i] = true;  // end of file, or an error that ends the stream all the same
          open[i] = false;
        }
      }
      changed_.notify_all();
    }
  }
}

}  // namespace veltor::testing
