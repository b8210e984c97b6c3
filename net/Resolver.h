// Name look-ups, kept off the relay's streaming path.
//
// A Resolver does the blocking work: the server's host name to an address and
// a client's address back to a name. Start*Lookup run it on a thread of its
// own and hand back a PendingLookup that the main thread looks at without
// waiting longer than it chooses, so a name server that does not answer never
// holds the streams, the keys or the signals.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace veltor {

class Resolver {
 public:
  virtual ~Resolver() = default;
  // Both may block for as long as the name service takes, and are called on
  // look-up threads only. A resolver must outlive every look-up started on it.
  // The address of host `name` (its first IPv4 address), network byte order;
  // INADDR_NONE when it has none.
  virtual uint32_t HostAddress(const std::string& name) = 0;
  // The name of `address` (host order) by reverse look-up, at most
  // kPeerNameBytes - 1 characters; empty when there is none.
  virtual std::string PeerName(uint32_t address) = 0;
};

// The system's name service (hosts file, DNS, as the system is set up),
// through platform/NameLookup.
Resolver& SystemResolver();

// What a look-up found: an address (network order, INADDR_NONE for none) or a
// name (empty for none).
struct LookupAnswer {
  uint32_t address = 0xFFFFFFFFu;
  std::string name;
};

// One look-up in flight. Main thread only; the look-up thread shares nothing
// with it but the answer's slot.
class PendingLookup {
 public:
  // A look-up that was never started: done, with an empty answer.
  PendingLookup() = default;
  // Runs `work` on a thread of its own. When no thread can be had (too many
  // look-ups hang already, or the system refuses one) the look-up is done at
  // once with an empty answer.
  static PendingLookup Start(std::function<LookupAnswer()> work);

  // Waits up to `waitMs` for the answer; true once it is there.
  bool Wait(int waitMs);
  // The answer once Wait said so, else the empty one.
  LookupAnswer Answer() const;

 private:
  struct Slot;
  std::shared_ptr<Slot> slot_;
};

// Start a look-up on `resolver` and return at once, without waiting for the
// name service; the answer comes through the PendingLookup.
PendingLookup StartHostAddressLookup(Resolver& resolver, const std::string& name);
PendingLookup StartPeerNameLookup(Resolver& resolver, uint32_t address);

}  // namespace veltor
