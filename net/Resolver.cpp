#include "net/Resolver.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/Constants.h"
#include "base/StartThread.h"
#include "platform/NameLookup.h"

namespace veltor {

namespace {

class SystemNameService final : public Resolver {
 public:
  uint32_t HostAddress(const std::string& name) override { return LookUpHostAddressBlocking(name); }
  std::string PeerName(uint32_t address) override {
    return LookUpHostNameBlocking(address).substr(0, kPeerNameBytes - 1);
  }
};

// Look-ups hung on a dead name server each keep a thread; past this many the
// relay stops starting new ones and goes on without names.
std::atomic<int> lookupsInFlight{0};

}  // namespace

Resolver& SystemResolver() {
  static SystemNameService resolver;
  return resolver;
}

struct PendingLookup::Slot {
  std::mutex lock;  // guards done and answer
  std::condition_variable answered;
  bool done = false;
  LookupAnswer answer;
};

PendingLookup PendingLookup::Start(std::function<LookupAnswer()> work) {
  PendingLookup pending;
  if (lookupsInFlight.fetch_add(1) >= kLookupThreadsMax) {
    lookupsInFlight.fetch_sub(1);
    return pending;
  }
  auto slot = std::make_shared<Slot>();
  std::thread lookup;
  const bool started = StartThread(lookup, [slot, work = std::move(work)] {
    LookupAnswer answer = work();
    {
      std::lock_guard<std::mutex> guard(slot->lock);
      slot->answer = std::move(answer);
      slot->done = true;
    }
    slot->answered.notify_all();
    lookupsInFlight.fetch_sub(1);
  });
  if (!started) {
    lookupsInFlight.fetch_sub(1);
    return pending;
  }
  // The C library's look-ups cannot be cancelled, so the thread is not joined:
  // it owns its share of the slot and nothing else, and a relay that shuts
  // down meanwhile simply exits past it.
  lookup.detach();
  pending.slot_ = std::move(slot);
  return pending;
}

bool PendingLookup::Wait(int waitMs) {
  if (!slot_) return true;
  std::unique_lock<std::mutex> guard(slot_->lock);
  return slot_->answered.wait_for(guard, std::chrono::milliseconds(waitMs), [this] { return slot_->done; });
}

LookupAnswer PendingLookup::Answer() const {
  if (!slot_) return {};
  std::lock_guard<std::mutex> guard(slot_->lock);
  return slot_->done ? slot_->answer : LookupAnswer{};
}

PendingLookup StartHostAddressLookup(Resolver& resolver, const std::string& name) {
  return PendingLookup::Start([&resolver, name] {
    LookupAnswer answer;
    answer.address = resolver.HostAddress(name);
    return answer;
  });
}

PendingLookup StartPeerNameLookup(Resolver& resolver, uint32_t address) {
  return PendingLookup::Start([&resolver, address] {
    LookupAnswer answer;
    answer.name = resolver.PeerName(address);
    return answer;
  });
}

}  // namespace veltor
