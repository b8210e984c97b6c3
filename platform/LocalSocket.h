// A listening Unix stream socket in the file system, for requests from the
// same machine (the control socket). Its connections are ordinary sockets:
// accept with AcceptConnection, move bytes with SendNow and ReceiveNow, wait
// with SocketWait. Windows has no such sockets here: Open says so.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Socket.h"

namespace veltor {

class LocalListenSocket {
 public:
  LocalListenSocket() = default;
  // Closes the socket and removes its file, unless another socket has taken
  // the path since.
  ~LocalListenSocket();
  LocalListenSocket(const LocalListenSocket&) = delete;
  LocalListenSocket& operator=(const LocalListenSocket&) = delete;

  // Listens at `path`, non-blocking, no child inheriting it, readable and
  // writable by owner and group only (0660) from the first connection on.
  // A socket file that nobody listens on any more is replaced; anything else
  // at `path` (a live socket, a regular file) is left alone and refused.
  // False with `error` a sentence naming the path and the reason. Call once.
  bool Open(const std::string& path, int backlog, std::string& error);

  SocketHandle Handle() const { return handle_; }
  const std::string& Path() const { return path_; }

 private:
  SocketHandle handle_ = kNoSocket;
  std::string path_;
  // The file bind made, so the destructor removes that one and no other.
  uint64_t device_ = 0;
  uint64_t inode_ = 0;
};

}  // namespace veltor
