// The relay's one result for everything that moves data or makes a
// connection, from net/ up. Each call says what its three values mean for it;
// in general:
//   Done    it happened (bytes moved, a connection made or waiting);
//   Idle    nothing happened yet, and trying again later may change that;
//   Failed  it will not happen: the peer or socket is gone, or a bound gave up.
#pragma once

#include "platform/Socket.h"

namespace veltor {

enum class TransferResult { Done = 0, Idle = 1, Failed = 2 };

// What a call at the seam did, in the relay's terms: the peer's end of stream
// ends a transfer as surely as a broken connection does.
constexpr TransferResult ResultOf(IoOutcome::Kind kind) {
  switch (kind) {
    case IoOutcome::Kind::Done:
      return TransferResult::Done;
    case IoOutcome::Kind::WouldBlock:
      return TransferResult::Idle;
    case IoOutcome::Kind::Closed:
    case IoOutcome::Kind::Failed:
      break;
  }
  return TransferResult::Failed;
}

}  // namespace veltor
