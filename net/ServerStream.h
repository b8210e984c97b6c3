// ServerStream: the relay's open connection to its upstream server.
//
// What the server sends is read into the relay's own buffer as soon as it
// arrives (up to kServerBufferMaxBytes), so it is safe on this side even when
// the server closes or resets; the relay hands it on at its own pace, one
// chunk per pass. What clients send goes up without ever holding the caller:
// a block the server cannot take at once stays pending and is finished in
// later passes. Main thread only.
//
// Once the server's stream has ended (or broke, or the server took nothing for
// kServerSendStallMs) nothing more is read or sent; the stream is Finished when
// everything read has been handed on, and only then is it closed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "net/NetSocket.h"
#include "net/Transfer.h"

namespace veltor {

class ServerStream {
 public:
  explicit ServerStream(std::unique_ptr<NetSocket> socket);

  // Reads what the socket holds into the buffer, without waiting. When the
  // buffer is empty and more may come, first waits up to `waitMs` for it.
  void Read(int waitMs);
  // The oldest buffered bytes, at most `maxBytes` of them; nullptr when none.
  std::unique_ptr<DataChunk> TakeChunk(size_t maxBytes);
  size_t BufferedBytes() const { return buffer_.size() - head_; }
  // Nothing more will come and everything read has been taken.
  bool Finished() const { return !reading_ && BufferedBytes() == 0; }

  // The server still takes data (it may have a block pending).
  bool Writable() const { return writing_; }
  // A forward can start now: writable and nothing pending.
  bool CanForward() const { return writing_ && !pending_; }
  // Sends `chunk` as far as the server takes it at once; the rest is pending.
  // Dropped when the server's stream has ended, which is looked for first: a
  // server that has closed must not be sent to, or its reset could take its
  // last output with it. Call only when CanForward().
  void Forward(std::unique_ptr<DataChunk> chunk);
  // Goes on with a pending block. A failed send stops all writing (the block
  // is dropped) while reading goes on to the stream's end; a server that has
  // taken nothing for kServerSendStallMs is given up in both directions.
  void ContinueForward();

  NetSocket& Socket() { return *socket_; }

 private:
  void EndReading();

  std::unique_ptr<NetSocket> socket_;
  std::vector<uint8_t> buffer_;  // bytes from head_ on are not yet taken
  size_t head_ = 0;
  bool reading_ = true;
  bool writing_ = true;

  std::unique_ptr<DataChunk> pending_;  // a forward the server has not taken whole
  size_t pendingSent_ = 0;
  uint32_t lastProgressTick_ = 0;
};

}  // namespace veltor
