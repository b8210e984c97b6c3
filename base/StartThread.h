// Starting a thread without letting an exception cross the relay's paths.
#pragma once

#include <system_error>
#include <thread>
#include <utility>

namespace veltor {

// Runs `body` on `thread` (which must not hold one already). False, with
// `thread` left empty, when the system gives no thread.
template <class Body>
bool StartThread(std::thread& thread, Body&& body) {
  try {
    thread = std::thread(std::forward<Body>(body));
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

}  // namespace veltor
