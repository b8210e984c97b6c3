// ClientTable: every ClientConnection of the relay, in order of admission,
// including records that have ended but are not yet released and records held
// after a time-limit cut-off. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "clients/ClientConnection.h"

namespace veltor {

class ClientTable {
 public:
  using Records = std::vector<std::unique_ptr<ClientConnection>>;

  void Add(std::unique_ptr<ClientConnection> record);
  // The first record with `address`, whatever its state; nullptr when none.
  ClientConnection* FindByAddress(uint32_t address) const;
  int Count() const { return static_cast<int>(records_.size()); }
  const Records& All() const { return records_; }

  // Releases the records of clients that have ended, except those held after a
  // time-limit cut-off until more than kHoldOutSeconds have passed since it.
  void Sweep();
  // Releases every record, printing nothing.
  void TearDown();

  // True when no record needs a pass within the next second (wall second
  // `now`): none has ended unswept, none has data to forward, and no time
  // limit or hold runs out within two seconds.
  bool NothingDue(int64_t now) const;

  // Raised by the records' workers when the loop has work from them; given to
  // every record admitted from now on.
  void SetLoopWake(WakeSignal* wake) { loopWake_ = wake; }
  WakeSignal* LoopWake() const { return loopWake_; }

 private:
  Records records_;
  WakeSignal* loopWake_ = nullptr;
};

}  // namespace veltor
