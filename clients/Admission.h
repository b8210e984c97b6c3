// Admission: once a second the relay takes at most one pending connection and
// judges it by the client maximum, then by the access rules in file order (the
// first match decides), then by the duplicate-address policy. The verdict
// completes the connection's "Conn" line on the event log.
//
// The connection's host name is looked up on a thread of its own, so a slow
// name server never holds the streams: the connection is judged as soon as
// the name is there, or at the next once-a-second block without it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "clients/ClientTable.h"
#include "clients/ReplayBuffer.h"
#include "base/Settings.h"
#include "net/NetSocket.h"
#include "net/Resolver.h"
#include "net/Listener.h"
#include "net/ServerLink.h"

namespace veltor {

// Each verdict a connection can get, for counting.
enum class VerdictKind { kAccepted, kMaxConns, kRule, kNoRule, kDupe, kDupeTimingOut };
inline constexpr int kVerdictKinds = 6;

struct Verdict {
  VerdictKind kind = VerdictKind::kNoRule;
  bool admitted = false;
  const MaskRule* rule = nullptr;  // the deciding rule when admitted
  std::string text;                // what completes the "Conn" line
};

// Decides for a connection from `address` (host order), given the table's count
// and `existing`, the first record with that address (or null).
Verdict Judge(const RelaySettings& settings, uint32_t address, int clientCount, const ClientConnection* existing);

class Admission {
 public:
  // `replay`, when given, holds the stream's recent bytes, which each admitted
  // client gets after its greeting and before anything live.
  Admission(const RelaySettings& settings, Resolver& resolver, const ReplayBuffer* replay = nullptr);
  ~Admission();
  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;

  // Judges the connection whose name was being looked up, if any, and takes
  // the next one from the listen socket when none waits. A connection is
  // taken only while kDescriptorReserve descriptors stay free, so the server
  // and listen sockets can always be opened again. Main thread, from the
  // once-a-second block.
  void AcceptPendingClient(ServerLink& link, ClientTable& table);

  // Verdicts given since the start, by kind (VerdictKind's order).
  const std::array<uint64_t, kVerdictKinds>& VerdictCounts() const { return verdictCounts_; }

 private:
  struct Candidate;
  void Decide(Candidate& candidate, ClientTable& table);

  const RelaySettings& settings_;
  Resolver& resolver_;
  const ReplayBuffer* replay_;
  std::array<uint64_t, kVerdictKinds> verdictCounts_{};
  std::unique_ptr<Candidate> waiting_;  // accepted, its name still being looked up
};

}  // namespace veltor
