#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace veltor {

namespace {

constexpr mode_t kFileMode = 0640;

// strerror is not safe from two threads; GNU's strerror_r returns its text,
// which need not be in the buffer given.
std::string ErrorText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace

AppendFile::~AppendFile() { Close(); }

bool AppendFile::Open(const std::string& path, std::string& error) {
  Close();
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kFileMode);
  if (fd < 0) {
    error = ErrorText(errno);
    return false;
  }
  handle_ = fd;
  return true;
}

int64_t AppendFile::Size(std::string& error) const {
  struct stat status {};
  if (::fstat(static_cast<int>(handle_), &status) != 0) {
    error = ErrorText(errno);
    return -1;
  }
  return static_cast<int64_t>(status.st_size);
}

int64_t AppendFile::Write(const uint8_t* bytes, size_t length, std::string& error) {
  for (;;) {
    const ssize_t written = ::write(static_cast<int>(handle_), bytes, length);
    if (written >= 0) return static_cast<int64_t>(written);
    if (errno == EINTR) continue;  // a signal handled on this thread, not a failure
    error = ErrorText(errno);
    return -1;
  }
}

void AppendFile::Close() {
  if (handle_ == kNoFile) return;
  ::close(static_cast<int>(handle_));
  handle_ = kNoFile;
}

RenameOutcome RenameFile(const std::string& from, const std::string& to, std::string& error) {
  if (::rename(from.c_str(), to.c_str()) == 0) return RenameOutcome::kRenamed;
  const int renameError = errno;
  // ENOENT also means a missing directory on the way to `to`.
  if (renameError == ENOENT && ::access(from.c_str(), F_OK) != 0) return RenameOutcome::kNoSource;
  error = ErrorText(renameError);
  return RenameOutcome::kFailed;
}

bool RemoveFile(const std::string& path, std::string& error) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  error = ErrorText(errno);
  return false;
}

}  // namespace veltor
