// The relay's two output streams. Each message is formatted whole and handed
// to the log writer (base/LogWriter.h), which writes it in one call and
// flushes it, so lines from the main thread and the workers never interleave,
// nothing waits in a buffer when the log goes to a pipe or file, and a reader
// of the log that stops reading never holds the caller. Any thread.
#pragma once

#include "base/LogWriter.h"

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

}  // namespace veltor
