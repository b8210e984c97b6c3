// Plain snapshots of the relay for the operator's machine-readable views
// (status lines, metrics, the service manager's status). The main thread
// fills them from its own records; the views only format them.
#pragma once

#include <cstdint>
#include <string>

namespace veltor {

struct RelayFacts {
  std::string serverHost;  // as written in the configuration
  uint16_t serverPort = 0;
  bool serverConnected = false;
  uint32_t listenAddress = 0;  // host order; 0: every local address
  uint16_t listenPort = 0;
  bool listening = false;
  int clientCount = 0;  // records in the table, ended and held ones included
  int maxClients = 0;
  int64_t secondsSinceStart = 0;
};

// One record of the client table, as the status table shows it.
struct ClientFacts {
  int number = 0;        // 1-based, in table order
  uint32_t address = 0;  // host order
  std::string name;      // from the reverse look-up; empty when none
  uint64_t bytes = 0;    // delivered to the client
  int64_t seconds = 0;   // since admission, or since a time-limit cut-off
  int64_t queued = 0;    // bytes waiting for the client
  bool active = false;   // false where the table shows "(inactive)"
  bool passRx = false;   // the admitting rule's
  int32_t timeLimit = 0;
};

// Admissions counted by verdict, in the order the verdicts are judged.
struct AdmissionCounts {
  uint64_t accepted = 0;
  uint64_t maxConns = 0;
  uint64_t rule = 0;
  uint64_t noRule = 0;
  uint64_t dupe = 0;
  uint64_t dupeTimingOut = 0;
};

struct RelayCounters {
  uint64_t bytesDelivered = 0;  // to all clients since start
  int64_t bytesQueued = 0;      // waiting for all clients now
  AdmissionCounts admissions;
  uint64_t logLinesDropped = 0;
  uint64_t backlogMemoryBytes = 0;  // what the clients' backlogs hold now
};

}  // namespace veltor
