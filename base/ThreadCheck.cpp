#include "base/ThreadCheck.h"

#if VELTOR_ASSERTS
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace veltor {

namespace {
// Static initialisation runs on the thread that started the process.
std::atomic<std::thread::id> mainThread{std::this_thread::get_id()};
}  // namespace

void MarkMainThread() { mainThread.store(std::this_thread::get_id()); }

bool OnMainThread() { return mainThread.load() == std::this_thread::get_id(); }

void FailThreadCheck(const char* what, const char* function) {
  // Straight to the stream, not through the log's writer: the process ends here.
  std::fprintf(stderr, "veltor: thread check failed: %s: %s\n", what, function);
  std::abort();
}

}  // namespace veltor
#endif
