#include "platform/LocalSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace veltor {

namespace {

constexpr mode_t kControlSocketMode = 0660;

bool FillAddress(const std::string& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  return true;
}

socklen_t AddressLength(const std::string& path) {
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
}

std::string Reason(const std::string& path, const std::string& what) { return path + ": " + what; }

// Whether a process still accepts connections on the socket file at `path`:
// a refused connection means its listener is gone. Never waits.
bool SomeoneListens(const sockaddr_un& address, const std::string& path) {
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (probe < 0) return true;  // cannot tell: leave it alone
  const int connected = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), AddressLength(path));
  const int error = errno;
  ::close(probe);
  return connected == 0 || (error != ECONNREFUSED && error != ENOENT);
}

}  // namespace

LocalListenSocket::~LocalListenSocket() {
  if (handle_ == kNoSocket) return;
  ::close(handle_);
  struct stat file {};
  if (::lstat(path_.c_str(), &file) == 0 && S_ISSOCK(file.st_mode) && file.st_dev == device_ && file.st_ino == inode_) {
    ::unlink(path_.c_str());
  }
}

bool LocalListenSocket::Open(const std::string& path, int backlog, std::string& error) {
  sockaddr_un address{};
  if (!FillAddress(path, address)) {
    error = Reason(path, "not a usable socket path (1 to " + std::to_string(sizeof address.sun_path - 1) + " bytes)");
    return false;
  }
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      error = Reason(path, "exists and is not a socket; not replaced");
      return false;
    }
    if (SomeoneListens(address, path)) {
      error = Reason(path, "another process listens on this socket");
      return false;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      error = Reason(path, std::string("cannot remove the stale socket: ") + std::strerror(errno));
      return false;
    }
  }

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = Reason(path, std::string("cannot create a socket: ") + std::strerror(errno));
    return false;
  }
  // Nobody can connect before listen(), so the mode is set in between: never
  // wider than 0660 while it matters, and whatever the umask.
  struct stat made {};
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), AddressLength(path)) != 0) {
    error = Reason(path, std::string("cannot bind: ") + std::strerror(errno));
    ::close(fd);
    return false;
  }
  if (::chmod(path.c_str(), kControlSocketMode) != 0 || ::lstat(path.c_str(), &made) != 0 ||
      ::listen(fd, backlog) != 0) {
    error = Reason(path, std::string("cannot listen: ") + std::strerror(errno));
    ::close(fd);
    ::unlink(path.c_str());
    return false;
  }
  handle_ = fd;
  path_ = path;
  device_ = static_cast<uint64_t>(made.st_dev);
  inode_ = static_cast<uint64_t>(made.st_ino);
  return true;
}

}  // namespace veltor
