#include "platform/ServiceNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace veltor {

bool SendServiceNotification(const std::string& socketPath, const std::string& message) {
  sockaddr_un target{};
  target.sun_family = AF_UNIX;
  // A path must leave room for its closing NUL; an abstract name needs none.
  const bool abstract = !socketPath.empty() && socketPath[0] == '@';
  const size_t room = sizeof target.sun_path - (abstract ? 0 : 1);
  if (socketPath.size() < 2 || socketPath.size() > room || (!abstract && socketPath[0] != '/')) return false;
  std::memcpy(target.sun_path, socketPath.data(), socketPath.size());
  if (abstract) target.sun_path[0] = '\0';
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketPath.size());

  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const ssize_t sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                                reinterpret_cast<const sockaddr*>(&target), length);
  ::close(fd);
  return sent == static_cast<ssize_t>(message.size());
}

int64_t CurrentProcessId() { return static_cast<int64_t>(::getpid()); }

}  // namespace veltor
