// ClientTable: every ClientConnection of the relay, in order of admission,
// including records that have ended but are not yet released and records held
// after a time-limit cut-off. It keeps the budget that bounds their backlogs.
// Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "clients/BacklogBudget.h"
#include "clients/ClientConnection.h"

namespace veltor {

class ClientTable {
 public:
  explicit ClientTable(int64_t perClientBacklogMaxBytes = kDownstreamMaxBytes,
                       int64_t totalBacklogMaxBytes = kBacklogTotalMaxBytes);

  void Add(std::unique_ptr<ClientConnection> record);
  // The first record with `address`, whatever its state; nullptr when none.
  ClientConnection* FindByAddress(uint32_t address) const;
  int Count() const { return static_cast<int>(records_.size()); }
  const std::vector<std::unique_ptr<ClientConnection>>& All() const { return records_; }

  // Releases the records of clients that have ended, except those held after a
  // time-limit cut-off until more than kHoldOutSeconds have passed since it,
  // and those whose last words are still to be forwarded. Hands freed memory
  // back to the system once a large backlog is gone.
  void Sweep();
  // Releases every record, printing nothing.
  void TearDown();

  // True when no record needs a pass within the next second (wall second
  // `now`): none has ended unswept, none has data to forward, and no time
  // limit or hold runs out within two seconds.
  bool NothingDue(int64_t now) const;

  // Server bytes delivered to every client since the start, released ones included.
  uint64_t DeliveredBytes() const;

  // What bounds the records' backlogs; records admitted from now on share it.
  BacklogBudget& Budget() { return budget_; }
  // Ends the active client with the largest backlog (its "Disc" line and its
  // backlog freed at once), when one has any: for a total that would pass its bound.
  void EndLargestBacklog();

  // Raised by the records' workers when the loop has work from them; given to
  // every record admitted from now on.
  void SetLoopWake(WakeSignal* wake) { loopWake_ = wake; }
  WakeSignal* LoopWake() const { return loopWake_; }

 private:
  BacklogBudget budget_;  // declared first: the records count in it until they go
  std::vector<std::unique_ptr<ClientConnection>> records_;
  uint64_t releasedBytesSent_ = 0;  // what released records had delivered
  WakeSignal* loopWake_ = nullptr;
};

}  // namespace veltor
