// The relay's options from the command line (relay/CommandLine.h reads them).
// Every default leaves the relay exactly as it runs without options. Read-only
// once parsed; any thread may read them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/Constants.h"

namespace veltor {

inline constexpr int64_t kKiB = 1024;
inline constexpr int64_t kMiB = 1024 * kKiB;

// --replay: the history is kept in memory, and all of it goes to each new client.
inline constexpr int64_t kReplayMaxBytes = 16 * kMiB;
// --stream-log-size: below this a mistyped unit (64 for 64M) would rotate at every pass.
inline constexpr int64_t kStreamLogMinRotateBytes = 4 * kKiB;
inline constexpr int kStreamLogKeepDefault = 5;
inline constexpr int kStreamLogKeepMax = 1000;
// --max-backlog: below this an ordinary hiccup of a client's network would cut it off.
inline constexpr int64_t kBacklogMinBytes = 64 * kKiB;
// --control: what a Unix socket address holds, its terminating NUL included.
inline constexpr size_t kControlPathMaxBytes = 107;

struct RelayOptions {
  // The most recent bytes of the server's stream kept for each new client; 0: none.
  int64_t replayBytes = 0;
  // Where every byte handed on from the server is appended; empty: nowhere.
  std::string streamLogPath;
  // The stream log is rotated before a write would make it larger; 0: never.
  int64_t streamLogRotateBytes = 0;
  // Rotated files kept (PATH.1 ... PATH.N); 0: a rotation starts PATH afresh.
  int streamLogKeep = kStreamLogKeepDefault;
  // The one local address the listen socket is bound to, host byte order;
  // none: every address.
  std::optional<uint32_t> listenAddress;
  // Path of the Unix control socket; empty: none.
  std::string controlPath;
  // A client whose queued backlog would pass this is disconnected.
  int64_t maxBacklogBytes = kDownstreamMaxBytes;
  // The sum of every client's backlog stays within this.
  int64_t maxTotalBacklogBytes = kBacklogTotalMaxBytes;
};

}  // namespace veltor
