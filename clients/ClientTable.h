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

 private:
  Records records_;
};

}  // namespace veltor
