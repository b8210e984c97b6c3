// Progress for the person watching: standard error, flushed at once, so the
// report on standard output stays clean.
#pragma once

namespace veltor::bench {

void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace veltor::bench
