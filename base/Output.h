// The relay's two output streams. Each message is formatted whole, written in
// one call and flushed at once, so lines from the main thread and the workers
// never interleave, and nothing waits in a buffer when the log goes to a pipe
// or file. Any thread.
#pragma once

namespace veltor {

// Event log: standard output.
void LogOut(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Banner, configuration echo, warnings, status table: standard error.
void LogErr(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace veltor
