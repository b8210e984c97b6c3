// Starting a thread without letting an exception cross the relay's paths.
#pragma once

#include <atomic>
#include <system_error>
#include <thread>
#include <utility>

namespace veltor {

// Run first on every thread started by StartThread. The process set-up
// installs one that keeps the operator's signals for the main thread, whose
// loop acts on them (platform/Process.h).
using ThreadStartHook = void (*)();
inline std::atomic<ThreadStartHook> threadStartHook{nullptr};

// Runs `body` on `thread` (which must not hold one already). False, with
// `thread` left empty, when the system gives no thread.
template <class Body>
bool StartThread(std::thread& thread, Body&& body) {
  try {
    thread = std::thread([hook = threadStartHook.load(), body = std::forward<Body>(body)]() mutable {
      if (hook != nullptr) hook();
      body();
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

}  // namespace veltor
