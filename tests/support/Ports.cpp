#include "tests/support/Ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veltor::testing {

uint16_t FindFreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;

  uint16_t port = 0;
  socklen_t length = sizeof(address);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  // Never listened on, so the port leaves no TIME_WAIT entry behind and the
  // relay can bind it immediately.
  ::close(fd);
  return port;
}

}  // namespace veltor::testing
