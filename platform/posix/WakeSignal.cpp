#include "platform/WakeSignal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace veltor {

WakeSignal::WakeSignal() : handle_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeSignal::~WakeSignal() {
  if (handle_ != kNoSocket) ::close(handle_);
}

void WakeSignal::Raise() {
  if (handle_ == kNoSocket) return;
  const uint64_t one = 1;
  // EAGAIN means the counter is already huge, which is as raised as it gets.
  [[maybe_unused]] const ssize_t written = ::write(handle_, &one, sizeof one);
}

void WakeSignal::Drain() {
  if (handle_ == kNoSocket) return;
  uint64_t count = 0;
  [[maybe_unused]] const ssize_t got = ::read(handle_, &count, sizeof count);
}

bool WakeSignal::Wait(int waitMs) {
  if (handle_ == kNoSocket) {
    ::poll(nullptr, 0, waitMs);
    return false;
  }
  pollfd entry{handle_, POLLIN, 0};
  return ::poll(&entry, 1, waitMs) > 0 && (entry.revents & POLLIN) != 0;
}

}  // namespace veltor
