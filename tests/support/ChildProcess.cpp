#include "tests/support/ChildProcess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/Deadline.h"

extern char** environ;

namespace veltor::testing {

namespace {

constexpr std::chrono::milliseconds kStdinWriteTimeout{5000};
constexpr std::chrono::milliseconds kReapPollInterval{5};
// The output reader wakes at least this often to notice a stop request: a stray
// grandchild could hold a pipe open for ever, and Stop() must stay bounded.
constexpr int kReaderWakeMs = 20;
constexpr size_t kReadChunkBytes = 64 * 1024;

size_t Index(OutputStream stream) { return static_cast<size_t>(stream); }

// A pipe whose ends are closed on every early return; the ends that survive
// are handed out with Release().
struct Pipe {
  int ends[2] = {-1, -1};
  bool Open() { return ::pipe2(ends, O_CLOEXEC) == 0; }
  int Release(int which) {
    const int fd = ends[which];
    ends[which] = -1;
    return fd;
  }
  ~Pipe() {
    for (int fd : ends) {
      if (fd >= 0) ::close(fd);
    }
  }
};

// Writing to the stdin pipe of a child that has exited raises SIGPIPE, which
// would end the whole test binary. Ignoring it turns that into EPIPE; children
// get the default disposition back at spawn time.
void IgnoreSigpipeOnce() {
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

int DecodeWaitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ChildProcess::~ChildProcess() {
  CloseStdin();
  {
    std::lock_guard<std::mutex> guard(stateMutex_);
    if (pid_ > 0 && !ReapLocked()) {
      ::kill(pid_, SIGKILL);
      // SIGKILL cannot be caught or ignored, so this wait is short.
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      reaped_ = true;
      exitStatus_ = DecodeWaitStatus(status);
    }
  }
  output_.Stop();
}

bool ChildProcess::Start(const std::string& binary, const std::vector<std::string>& args, bool crLfLines,
                         ChildStdio given) {
  {
    std::lock_guard<std::mutex> guard(stateMutex_);
    if (pid_ > 0) return false;
  }
  IgnoreSigpipeOnce();

  Pipe in, out, err;
  if ((given.in < 0 && !in.Open()) || (given.out < 0 && !out.Open()) || (given.err < 0 && !err.Open())) return false;
  // Only the parent's end is non-blocking: the child sees an ordinary pipe.
  if (given.in < 0 && ::fcntl(in.ends[1], F_SETFL, O_NONBLOCK) != 0) return false;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, given.in >= 0 ? given.in : in.ends[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, given.out >= 0 ? given.out : out.ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, given.err >= 0 ? given.err : err.ends[1], STDERR_FILENO);

  // The test binary may ignore or block signals (SIGPIPE above, a runner's
  // own choices); the program under test must start with a clean slate.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> storage;
  storage.reserve(args.size() + 1);
  storage.push_back(binary);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(arg.data());
  argv.push_back(nullptr);

  // The test's environment, less the names given, then the given entries.
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view inherited(*entry);
    const bool replaced = std::any_of(extraEnvironment_.begin(), extraEnvironment_.end(), [&](const std::string& extra) {
      const size_t nameEnd = extra.find('=');
      return inherited.substr(0, inherited.find('=')) == std::string_view(extra).substr(0, nameEnd);
    });
    if (!replaced) envp.push_back(*entry);
  }
  for (std::string& extra : extraEnvironment_) envp.push_back(extra.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, binary.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) return false;  // glibc reports a failed exec here, not as exit 127

  // The child holds its own copies now; closing ours lets end of file arrive
  // on the output pipes as soon as the child (and its descendants) exit.
  for (const int fd : {in.Release(0), out.Release(1), err.Release(1)}) {
    if (fd >= 0) ::close(fd);  // -1: a stream the caller gave
  }

  stdinFd_ = in.Release(1);
  output_.Start(out.Release(0), err.Release(0), crLfLines);
  std::lock_guard<std::mutex> guard(stateMutex_);
  pid_ = pid;
  return true;
}

bool ChildProcess::WriteStdin(std::string_view bytes) {
  if (stdinFd_ < 0) return false;
  const Deadline deadline(kStdinWriteTimeout);
  while (!bytes.empty()) {
    const ssize_t n = ::write(stdinFd_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;  // EPIPE: the child closed its end
    if (deadline.Expired()) return false;
    pollfd writable{stdinFd_, POLLOUT, 0};
    ::poll(&writable, 1, deadline.PollTimeoutMs());
  }
  return true;
}

void ChildProcess::CloseStdin() {
  if (stdinFd_ >= 0) ::close(stdinFd_);
  stdinFd_ = -1;
}

std::string ChildProcess::Stdout() const { return output_.Snapshot(OutputStream::Stdout); }
std::string ChildProcess::Stderr() const { return output_.Snapshot(OutputStream::Stderr); }

bool ChildProcess::WaitForStdout(std::string_view needle, std::chrono::milliseconds timeout,
                                 size_t occurrences) {
  return output_.WaitFor(OutputStream::Stdout, needle, timeout, occurrences);
}

bool ChildProcess::WaitForStderr(std::string_view needle, std::chrono::milliseconds timeout,
                                 size_t occurrences) {
  return output_.WaitFor(OutputStream::Stderr, needle, timeout, occurrences);
}

size_t ChildProcess::CountInStdout(std::string_view needle) const {
  return output_.Count(OutputStream::Stdout, needle);
}

size_t ChildProcess::CountInStderr(std::string_view needle) const {
  return output_.Count(OutputStream::Stderr, needle);
}

bool ChildProcess::WaitForExit(std::chrono::milliseconds timeout, int* exitStatus) {
  const Deadline deadline(timeout);
  int status = -1;
  // There is no waitpid with a time-out, so poll it; a few milliseconds of
  // latency is nothing next to the relay's one-second rhythm.
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(stateMutex_);
      if (pid_ <= 0) return false;
      if (ReapLocked()) {
        status = exitStatus_;
        break;
      }
    }
    if (deadline.Expired()) return false;
    std::this_thread::sleep_for(
        std::min<std::chrono::milliseconds>(kReapPollInterval,
                                            std::chrono::milliseconds(deadline.PollTimeoutMs())));
  }
  // Output written just before exit may still sit in the pipes.
  if (!output_.WaitForEnd(deadline.When())) return false;
  if (exitStatus != nullptr) *exitStatus = status;
  return true;
}

void ChildProcess::Signal(int sig) {
  std::lock_guard<std::mutex> guard(stateMutex_);
  // Once reaped, the pid may belong to an unrelated process.
  if (pid_ > 0 && !ReapLocked()) ::kill(pid_, sig);
}

bool ChildProcess::Running() {
  std::lock_guard<std::mutex> guard(stateMutex_);
  return pid_ > 0 && !ReapLocked();
}

pid_t ChildProcess::Pid() {
  std::lock_guard<std::mutex> guard(stateMutex_);
  return pid_;
}

bool ChildProcess::ReapLocked() {
  if (reaped_) return true;
  int status = 0;
  const pid_t result = ::waitpid(pid_, &status, WNOHANG);
  if (result == pid_) {
    reaped_ = true;
    exitStatus_ = DecodeWaitStatus(status);
  } else if (result < 0 && errno == ECHILD) {
    // Reaped elsewhere (SIGCHLD set to SIG_IGN): gone, status unknown.
    reaped_ = true;
    exitStatus_ = -1;
  }
  return reaped_;
}

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

void OutputCapture::Start(int stdoutFd, int stderrFd, bool crLfLines) {
  crLfLines_ = crLfLines;
  fds_[0] = stdoutFd;
  fds_[1] = stderrFd;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ended_[0] = stdoutFd < 0;
    ended_[1] = stderrFd < 0;
  }
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

// Caller holds mutex_.
void OutputCapture::Append(size_t stream, const char* bytes, size_t count) {
  std::string& buffer = buffers_[stream];
  if (!crLfLines_) {
    buffer.append(bytes, count);
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    const char byte = bytes[i];
    if (pendingCr_[stream]) {
      pendingCr_[stream] = false;
      if (byte == '\n') {
        buffer.push_back('\n');
        continue;
      }
      buffer.push_back('\r');
    }
    if (byte == '\r') {
      pendingCr_[stream] = true;
    } else if (byte == '\n') {
      buffer.append("[LF without CR]\n");
    } else {
      buffer.push_back(byte);
    }
  }
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
          Append(i, chunk, static_cast<size_t>(n));
        } else {
          ended_[i] = true;  // end of file, or an error that ends the stream all the same
          open[i] = false;
        }
      }
      changed_.notify_all();
    }
  }
}

ProgramRun RunProgram(const std::string& binary, const std::vector<std::string>& args,
                      std::chrono::milliseconds cap) {
  ChildProcess program;
  ProgramRun run;
  if (!program.Start(binary, args) || !program.WaitForExit(cap, &run.status)) return run;
  run.out = program.Stdout();
  run.err = program.Stderr();
  return run;
}

}  // namespace veltor::testing
