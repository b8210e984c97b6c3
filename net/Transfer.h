// The primitives that move all of the relay's data:
//   SendAll      writes a whole block, waiting while the peer is full;
//   ReceiveChunk reads what one socket has ready, at most 1000 bytes, waiting at most 10 ms;
//   SendSome, ReceiveSome and WaitReadable, the same without the waiting.
// None prints or closes anything; the caller decides what a result means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/Constants.h"
#include "net/NetSocket.h"
#include "net/TransferResult.h"
#include "platform/WakeSignal.h"

namespace veltor {

// An owned block of bytes of exactly its length.
struct DataChunk {
  std::vector<uint8_t> bytes;
  size_t Length() const { return bytes.size(); }
};

// How long a SendAll may go on waiting for a peer that takes nothing.
struct SendBound {
  // Checked between waits; returning true gives up with Failed.
  std::function<bool()> giveUp;
  // Gives up with Failed after this long without the peer taking a byte; < 0: never.
  int stallLimitMs = -1;
  // When given, a wait for room also ends when this is raised (it is then
  // drained and `giveUp` asked), so the waits need no short time-out.
  WakeSignal* wake = nullptr;
};

// Done: all sent without waiting. Idle: all sent, after at least one wait.
// Failed: no socket, a broken connection, or the bound gave up (possibly after
// part of the block went out). A length of 0 is Done without touching the socket.
[[nodiscard]] TransferResult SendAll(const uint8_t* bytes, size_t length, NetSocket* socket,
                                     const SendBound& bound = {});

// One send of what the socket takes at once, never waiting. Done: `sent`
// bytes (at least one) went out. Idle: the socket is full. Failed: no socket
// or a broken connection.
[[nodiscard]] TransferResult SendSome(const uint8_t* bytes, size_t length, NetSocket* socket, size_t& sent);

// Done: `chunk` holds the bytes received. Idle: nothing came within the wait
// (or `wake` was raised first). Failed: no socket, the peer closed, or an error.
// `wake`, when given, cuts the wait short and is drained.
[[nodiscard]] TransferResult ReceiveChunk(NetSocket* socket, std::unique_ptr<DataChunk>& chunk,
                                          int waitMs = kReceiveWaitMs, WakeSignal* wake = nullptr);

// One receive of what the socket holds, at most `capacity` bytes, never
// waiting. Done: `received` bytes. Idle: nothing there. Failed: no socket, the
// peer closed its side, or an error.
[[nodiscard]] TransferResult ReceiveSome(NetSocket* socket, uint8_t* buffer, size_t capacity, size_t& received);

// Waits up to `waitMs` until the socket has something to read (data, its end,
// or an error). `wake`, when given and raised, ends the wait early (false) and
// is drained. An interrupted wait counts as a time-out.
bool WaitReadable(NetSocket* socket, int waitMs, WakeSignal* wake = nullptr);

}  // namespace veltor
