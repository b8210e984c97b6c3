#include "platform/LocalSocket.h"

namespace veltor {

LocalListenSocket::~LocalListenSocket() = default;

bool LocalListenSocket::Open(const std::string& path, int, std::string& error) {
  error = path + ": control sockets are not supported on Windows";
  return false;
}

}  // namespace veltor
