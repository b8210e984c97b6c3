// The relay's two output streams. Each message is formatted whole, written in
// one call and flushed at once, so lines from the main thread and the workers
// never interleave, and nothing waits in a buffer when the log goes to a pipe
// or file. Any thread.
#pragma once

// mingw's compiler takes plain "printf" for the Microsoft runtime's dialect;
// the relay is built with the standard one there (__USE_MINGW_ANSI_STDIO).
#if defined(__MINGW32__)
#define VELTOR_PRINTF_LIKE(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define VELTOR_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#endif

namespace veltor {

// Event log: standard output.
void LogOut(const char* format, ...) VELTOR_PRINTF_LIKE(1, 2);
// Banner, configuration echo, warnings, status table: standard error.
void LogErr(const char* format, ...) VELTOR_PRINTF_LIKE(1, 2);

// From now on every line ends in CR LF, as a Windows console and the tools
// reading a redirected log expect; the message is still one write. Call
// before any other thread writes.
void UseCrLfLineEnds();

}  // namespace veltor
