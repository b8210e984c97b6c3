// The relay's tuned numbers, each with its unit, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace veltor {

// Relay loop timing.
inline constexpr uint32_t kPassIntervalMs = 10;     // a pass starts at most this often
inline constexpr uint32_t kRetryIntervalMs = 1000;  // endpoint upkeep and admission

// Chunk transfer.
inline constexpr size_t kChunkMaxBytes = 1000;
inline constexpr int kSendWaitMs = 1;     // one writability wait inside SendAll
inline constexpr int kReceiveWaitMs = 10;  // one readability wait inside ReceiveChunk
inline constexpr int kAcceptWaitMs = 1;    // readiness wait on the listen socket

// Endpoints.
inline constexpr int kListenBacklog = 10;
inline constexpr int kConnectTimeoutMs = 5000;
inline constexpr int kServerSendStallMs = 5000;  // a server that takes nothing this long is dropped
// What the server sent is read into the relay's own memory up to this much, so
// a server that closes or resets cannot take its last output with it.
inline constexpr size_t kServerBufferMaxBytes = 4 * 1024 * 1024;
// The once-a-second block waits this long for a connect or a look-up to finish
// before leaving it to later passes: a loopback server or a hosts-file name is
// done by then, a dead one holds the streams no longer than a pass.
inline constexpr int kEndpointStepWaitMs = 25;
// Look-ups that hang on a dead name server each keep a thread; beyond this
// many none is started and names are left empty.
inline constexpr int kLookupThreadsMax = 8;
// Descriptors kept free for the server and listen sockets and their look-ups:
// no connection is accepted while fewer than this many are left.
inline constexpr int kDescriptorReserve = 8;

// Clients.
inline constexpr int64_t kHoldOutSeconds = 60;          // hold after a time-limit cut-off
inline constexpr uint32_t kSlowBroadcastMs = 500;        // AddClientData warning threshold
inline constexpr int64_t kDownstreamMaxBytes = 16 * 1024 * 1024;
// All clients' backlogs together: 16 stalled readers at the cap, far below what
// a small machine has, so stalled readers never take the memory that the
// others and the system depend on.
inline constexpr int64_t kBacklogTotalMaxBytes = 256 * 1024 * 1024;
// A backlog is kept in blocks of this size, small ones joined into its tail:
// what a block costs beyond its bytes is then small against them.
inline constexpr size_t kBacklogBlockBytes = 4096;
// Once this much backlog has been freed, freed memory goes back to the system.
inline constexpr int64_t kMemoryReturnAfterFreedBytes = 1024 * 1024;
// A client without pass-through that floods the relay is read with a large
// buffer and at most once per this interval: its data is dropped cheaply.
inline constexpr size_t kDropReadBytes = 64 * 1024;
inline constexpr int kDropReadPauseMs = 10;
inline constexpr size_t kUpstreamMaxChunks = 64;
// A worker (or the server reader) with nothing to do waits this long for its
// socket or its wake signal. Every event that matters (queued data, stop,
// cut-off, room again) wakes it at once; the bound only keeps every wait finite.
inline constexpr int kWorkerIdleWaitMs = 10000;
inline constexpr size_t kPeerNameBytes = 200;
// Unread input dropped before a client's socket is closed, so the close ends
// the connection in order instead of resetting it (64 chunks: 64 KB).
inline constexpr int kCloseDrainMaxChunks = 64;

// Greeting frame.
inline constexpr uint8_t kTextFrameType = 0x74;  // 't'
inline constexpr size_t kTextFrameOverheadBytes = 10;
inline constexpr size_t kModTextMaxBytes = 65535 - kTextFrameOverheadBytes;

// Configuration file: far above any real one (even a few MOD texts of the
// longest size), far below what would strain memory.
inline constexpr size_t kConfigFileMaxBytes = 16 * 1024 * 1024;

// Stream log: how far the file may lag behind the stream before bytes are
// dropped, how soon a failed open, write or rotation is tried again, and how
// long shutdown waits for the disk to take what is left.
inline constexpr size_t kStreamLogBufferBytes = 4 * 1024 * 1024;
inline constexpr int kStreamLogRetryMs = 1000;
inline constexpr int kStreamLogExitWaitMs = 2000;
// The writer lets a batch gather this long, or to this size, before it writes:
// a busy stream then costs it a wake-up and a write per batch, not per chunk.
inline constexpr int kStreamLogBatchMs = 100;
inline constexpr size_t kStreamLogBatchBytes = 64 * 1024;

// Keyboard.
inline constexpr int kKeyEsc = 27;
inline constexpr int kEscSequenceWaitMs = 30;  // a lone ESC is one with nothing after it this long

}  // namespace veltor
