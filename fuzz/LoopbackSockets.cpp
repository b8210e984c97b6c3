#include "LoopbackSockets.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace veltor::fuzz {

namespace {

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(kLoopbackAddress);
  return address;
}

}  // namespace

bool Readable(int fd, int waitMs) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, waitMs) > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

uint16_t BoundPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  const sockaddr_in address = Loopback(0);
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) port = BoundPort(fd);
  ::close(fd);
  return port;
}

int ListenLoopback() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const sockaddr_in address = Loopback(0);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int ConnectLoopback(uint16_t port, int waitMs) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const sockaddr_in address = Loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  pollfd entry{fd, POLLOUT, 0};
  int error = 0;
  socklen_t length = sizeof error;
  if (::poll(&entry, 1, waitMs) != 1 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void ResetAndClose(int fd) {
  const linger abort{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  ::close(fd);
}

size_t SendSome(int fd, const uint8_t* bytes, size_t length) {
  const ssize_t sent = ::send(fd, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  return sent > 0 ? static_cast<size_t>(sent) : 0;
}

int OpenDescriptors() {
  DIR* directory = ::opendir("/proc/self/fd");
  if (directory == nullptr) return -1;
  int count = 0;
  while (::readdir(directory) != nullptr) ++count;
  ::closedir(directory);
  return count;
}

}  // namespace veltor::fuzz
