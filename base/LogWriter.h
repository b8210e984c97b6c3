// LogWriter: the road from a formatted message to standard output or standard
// error, without ever making the caller wait for the reader of the log.
//
//   Submit      queues one message for its stream; any thread, never waits
//   Flush       waits, bounded, until what was queued has been written
//   DroppedMessages  how many messages a stuck reader has cost so far
//
// Each stream has a bounded queue (kLogQueueMaxBytes) and a writer thread of
// its own, which hands each message to the stream in one write and flushes it.
// While both readers keep up, messages reach the two streams in the order they
// were submitted, so a log of both streams in one file reads as before. A
// stream whose write has not returned for kLogStuckMs no longer holds the
// other one back; once its queue is full, new messages for it are dropped and
// counted, and when it moves again one line on standard output says how many.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace veltor {

enum class LogStream { Out = 0, Err = 1 };

// Per stream: a stuck reader costs at most this much memory.
inline constexpr size_t kLogQueueMaxBytes = 256 * 1024;
// A write that has not returned for this long means the reader has stopped.
inline constexpr int kLogStuckMs = 100;

// Queues `text` for `stream`, or drops and counts it when the queue is full.
void SubmitLogMessage(LogStream stream, std::string text);
// Waits until every message submitted so far is written, for at most `waitMs`,
// and less when a stream makes no progress for kLogStuckMs. True when all went.
bool FlushLogMessages(int waitMs);
// Messages dropped on either stream since the start.
uint64_t DroppedLogMessages();
// From now on every line ends in CR LF, as a Windows console and the tools
// reading a redirected log expect; each message is still one write.
void UseCrLfLineEnds();
// Hands `length` bytes to standard output or standard error as one write, or
// drops them when the stream is closed or broken.
using StreamWriteFunction = void (*)(LogStream stream, const char* text, size_t length);
// From now on messages go out through `write` instead of the C library's
// streams, whose lock a write held by a stuck reader keeps for as long (and
// the C library's exit may wait for it). The process set-up installs the
// system's own write.
void UseStreamWrite(StreamWriteFunction write);
// Gives the drop notes their time stamp; without it they carry none.
void SetLogTimestampSource(std::string (*timestampNow)());

}  // namespace veltor
