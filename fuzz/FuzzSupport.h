// Shared pieces of the fuzz targets: keeping the relay's own log lines out of
// the fuzzer's output, counting descriptors, and failing loudly on a broken
// invariant. The loopback peers come from the tests' kit.
#pragma once

namespace veltor::fuzz {

// Once, from LLVMFuzzerInitialize: standard output goes to /dev/null for good
// (only the relay writes there, from any thread), and sanitizer reports keep
// a private copy of the real standard error so none is lost while it is muted.
void PrepareOutput();

// Mutes standard error for its lifetime. The relay's main-thread calls print
// their warnings there; libFuzzer's own lines must stay readable, so the mute
// covers single calls only.
class QuietStderr {
 public:
  QuietStderr();
  ~QuietStderr();
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;
};

// When VELTOR_FUZZ_TRACE is set: a printf-style line on the real standard
// error, for following one input step by step. Otherwise nothing.
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The number of descriptors the process holds; -1 when unknown.
int OpenDescriptors();

// Writes the failed condition to the real standard error and traps, which
// libFuzzer reports as a crash and saves the input for.
[[noreturn]] void Fail(const char* what, const char* file, int line);

}  // namespace veltor::fuzz

#define FUZZ_CHECK(condition)                                                   \
  do {                                                                          \
    if (!(condition)) ::veltor::fuzz::Fail(#condition, __FILE__, __LINE__);     \
  } while (0)
