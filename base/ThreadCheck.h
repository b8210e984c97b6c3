// Checks that code which belongs to one thread runs on it. The relay's state
// has owners (the main thread owns the table, the endpoints and admission; a
// worker owns its side of its record), and a call from the wrong thread is a
// bug that shows only as a rare race. These checks make it a crash with a
// message instead, in every test, sanitizer and fuzz build (VELTOR_ASSERTS);
// a Release build compiles them out.
//
//   MarkMainThread    the calling thread is the relay's main thread from now on
//   AssertMainThread  aborts unless called from the main thread
//   AssertOnThread    aborts unless called from the thread `owner`
#pragma once

#include <thread>

namespace veltor {

#if VELTOR_ASSERTS
// The thread that started the process is the main thread until this is called.
void MarkMainThread();
void FailThreadCheck(const char* what, const char* function);
bool OnMainThread();

#define AssertMainThread() \
  ((::veltor::OnMainThread()) ? void(0) : ::veltor::FailThreadCheck("not on the main thread", __func__))
#define AssertOnThread(owner)                                                           \
  (((owner) == std::this_thread::get_id()) ? void(0)                                    \
                                           : ::veltor::FailThreadCheck("not on its owner's thread", __func__))
#else
inline void MarkMainThread() {}
#define AssertMainThread() void(0)
#define AssertOnThread(owner) void(0)
#endif

}  // namespace veltor
