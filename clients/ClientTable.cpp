#include "clients/ClientTable.h"

#include "base/Clock.h"
#include "base/Constants.h"
#include "base/ThreadCheck.h"
#include "platform/Memory.h"

namespace veltor {

ClientTable::ClientTable(int64_t perClientBacklogMaxBytes, int64_t totalBacklogMaxBytes)
    : budget_(perClientBacklogMaxBytes, totalBacklogMaxBytes) {}

void ClientTable::Add(std::unique_ptr<ClientConnection> record) {
  AssertMainThread();
  records_.push_back(std::move(record));
}

ClientConnection* ClientTable::FindByAddress(uint32_t address) const {
  for (const auto& record : records_) {
    if (record->address == address) return record.get();
  }
  return nullptr;
}

void ClientTable::Sweep() {
  AssertMainThread();
  const int64_t now = WallNow();
  for (auto it = records_.begin(); it != records_.end();) {
    ClientConnection& record = **it;
    if (record.timedOut && now - record.startTime.load() > kHoldOutSeconds) record.timedOut = false;
    if (!record.active.load() && !record.timedOut && !record.HasLastWords()) {
      const std::unique_ptr<ClientConnection> released = std::move(*it);
      it = records_.erase(it);
      released->Stop();  // joins its worker, so its byte count is final
      releasedBytesSent_ += released->bytesSent.load();
    } else {
      ++it;
    }
  }
  if (budget_.TakeMemoryReturnDue()) ReturnFreeMemory();
}

void ClientTable::EndLargestBacklog() {
  AssertMainThread();
  ClientConnection* largest = nullptr;
  for (const auto& record : records_) {
    if (!record->active.load()) continue;
    if (largest == nullptr || record->queuedBytes.load() > largest->queuedBytes.load()) largest = record.get();
  }
  if (largest != nullptr && largest->queuedBytes.load() > 0) largest->EndForBacklog();
}

uint64_t ClientTable::DeliveredBytes() const {
  uint64_t delivered = releasedBytesSent_;
  for (const auto& record : records_) delivered += record->bytesSent.load();
  return delivered;
}

bool ClientTable::NothingDue(int64_t now) const {
  // Two seconds, not one: the loop may sleep up to a second, and the wall
  // clock's second can turn at any point of it.
  constexpr int64_t kSoonSeconds = 2;
  for (const auto& record : records_) {
    const int64_t since = now - record->startTime.load();
    if (!record->active.load()) {
      if (!record->timedOut || since + kSoonSeconds > kHoldOutSeconds) return false;
      continue;
    }
    if (record->passRx && record->HasUpstream()) return false;
    if (record->timeLimit != 0 && since + kSoonSeconds > record->timeLimit) return false;
  }
  return true;
}

void ClientTable::TearDown() {
  AssertMainThread();
  // Ask every worker first, so they wind down together rather than one by one.
  for (const auto& record : records_) record->RequestStop();
  while (!records_.empty()) records_.erase(records_.begin());
}

}  // namespace veltor
