#include "FuzzSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>

// Weak, so the targets also link without a sanitizer runtime.
extern "C" __attribute__((weak)) void __sanitizer_set_report_fd(void* fd);

namespace veltor::fuzz {

namespace {
int realStderr = STDERR_FILENO;
int devNull = -1;
bool tracing = false;
}  // namespace

void PrepareOutput() {
  if (devNull >= 0) return;
  tracing = std::getenv("VELTOR_FUZZ_TRACE") != nullptr;
  devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  realStderr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (devNull < 0 || realStderr < 0) {
    realStderr = STDERR_FILENO;
    return;
  }
  if (__sanitizer_set_report_fd != nullptr) {
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(realStderr)));
  }
  ::dup2(devNull, STDOUT_FILENO);
}

QuietStderr::QuietStderr() {
  if (devNull >= 0) ::dup2(devNull, STDERR_FILENO);
}

QuietStderr::~QuietStderr() {
  if (devNull >= 0) ::dup2(realStderr, STDERR_FILENO);
}

void Trace(const char* format, ...) {
  if (!tracing) return;
  char text[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length > 0) {
    [[maybe_unused]] const ssize_t written =
        ::write(realStderr, text, std::min(static_cast<size_t>(length), sizeof text - 1));
  }
}

int OpenDescriptors() {
  DIR* directory = ::opendir("/proc/self/fd");
  if (directory == nullptr) return -1;
  int count = 0;
  while (::readdir(directory) != nullptr) ++count;
  ::closedir(directory);
  return count;
}

void Fail(const char* what, const char* file, int line) {
  char text[512];
  const int length = std::snprintf(text, sizeof text, "\n==FUZZ CHECK FAILED== %s (%s:%d)\n", what, file, line);
  if (length > 0) {
    [[maybe_unused]] const ssize_t written =
        ::write(realStderr, text, std::min(static_cast<size_t>(length), sizeof text - 1));
  }
  __builtin_trap();
}

}  // namespace veltor::fuzz
