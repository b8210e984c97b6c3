#include "platform/NameLookup.h"

#include "platform/windows/Winsock.h"

namespace veltor {

uint32_t LookUpHostAddress(const std::string& name) {
  if (!EnsureWinsockStarted()) return INADDR_NONE;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* answer = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &answer) != 0 || answer == nullptr) return INADDR_NONE;
  const uint32_t address = reinterpret_cast<const sockaddr_in*>(answer->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(answer);
  return address;
}

std::string LookUpHostName(uint32_t address) {
  if (!EnsureWinsockStarted()) return {};
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = htonl(address);
  char name[NI_MAXHOST] = "";
  // NI_NAMEREQD: no reverse entry gives no name rather than the dotted text.
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer, name, sizeof name, nullptr, 0,
                  NI_NAMEREQD) != 0) {
    return {};
  }
  return name;
}

}  // namespace veltor
