#include "platform/NameLookup.h"

#include "platform/SystemSockets.h"

namespace veltor {

uint32_t LookUpHostAddressBlocking(const std::string& name) {
  if (!EnsureSocketsStarted()) return INADDR_NONE;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* answer = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &answer) != 0 || answer == nullptr) return INADDR_NONE;
  const uint32_t address = reinterpret_cast<const sockaddr_in*>(answer->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(answer);
  return address;
}

std::string LookUpHostNameBlocking(uint32_t address) {
  if (!EnsureSocketsStarted()) return {};
  const sockaddr_in peer = Ipv4Address(htonl(address), 0);
  char name[NI_MAXHOST] = "";
  // NI_NAMEREQD: no reverse entry gives no name rather than the dotted text.
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer, name, sizeof name, nullptr, 0,
                    NI_NAMEREQD) != 0) {
    return {};
  }
  return name;
}

}  // namespace veltor
