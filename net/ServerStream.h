// ServerStream: the relay's open connection to its upstream server.
//
// A reader thread of its own reads whatever the server sends, as soon as it
// arrives, into the relay's own buffer (up to kServerBufferMaxBytes; while it
// is full TCP slows the server down). The server's output is thus on the
// relay's side even when the server closes or resets at once, and the main
// thread hands it on at its own pace, one chunk per pass. What clients send
// goes up from the main thread without ever holding it: a block the server
// cannot take at once stays pending and is finished in later passes.
//
// Once the server's stream has ended (or broke, or the server took nothing for
// kServerSendStallMs) nothing more is read or sent; the stream is Finished when
// everything read has been handed on, and only then is it to be closed.
//
// Threads: every call below is the main thread's; the reader shares only the
// buffer and the end-of-stream mark with it, under one lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/NetSocket.h"
#include "net/Transfer.h"
#include "platform/WakeSignal.h"

namespace veltor {

class ServerStream {
 public:
  // `loopWake`, when given, is raised whenever data or the stream's end arrives.
  explicit ServerStream(std::unique_ptr<NetSocket> socket, WakeSignal* loopWake = nullptr);
  // Stops and joins the reader (at once: it waits on a wake signal), then
  // closes the socket.
  ~ServerStream();
  ServerStream(const ServerStream&) = delete;
  ServerStream& operator=(const ServerStream&) = delete;

  // Starts the reader. False when the thread could not be created.
  bool Start();

  // When nothing is buffered and more may come, waits up to `waitMs` for it.
  void WaitForData(int waitMs);
  // The oldest buffered bytes, at most `maxBytes` of them; nullptr when none.
  std::unique_ptr<DataChunk> TakeChunk(size_t maxBytes);
  size_t BufferedBytes() const;
  // Nothing more will come and everything read has been taken.
  bool Finished() const;

  // The server still takes data (it may have a block pending).
  bool Writable() const { return writing_; }
  // A forward can start now: writable and nothing pending.
  bool CanForward() const { return writing_ && !pending_; }
  // Sends `chunk` as far as the server takes it at once; the rest is pending.
  // Dropped when the server's stream has ended: a server that has closed must
  // not be sent to, or its reset could take its last output with it.
  void Forward(std::unique_ptr<DataChunk> chunk);
  // Goes on with a pending block. A failed send stops all writing (the block
  // is dropped) while reading goes on to the stream's end; a server that has
  // taken nothing for kServerSendStallMs is given up in both directions.
  void ContinueForward();

 private:
  void RunReader();
  bool ReadingEnded() const;
  void GiveUp();

  std::unique_ptr<NetSocket> socket_;
  WakeSignal* loopWake_;
  WakeSignal readerWake_;  // cuts the reader's waits short: stop, or room again

  mutable std::mutex bufferLock_;  // guards buffer_, head_ and ended_
  std::condition_variable dataArrived_;
  std::vector<uint8_t> buffer_;  // bytes from head_ on are not yet taken
  size_t head_ = 0;
  bool ended_ = false;  // the stream ended or broke: the reader has stopped
  std::atomic<bool> stopRequested_{false};

  // Main thread only.
  bool writing_ = true;
  std::unique_ptr<DataChunk> pending_;  // a forward the server has not taken whole
  size_t pendingSent_ = 0;
  uint32_t lastProgressTick_ = 0;

  std::thread reader_;  // started last, joined first
};

}  // namespace veltor
