#include "base/LogWriter.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "base/StartThread.h"

namespace veltor {

namespace {

// Real time on purpose: these bounds are about a real reader on a real pipe,
// whatever clock a test has installed for the relay.
using std::chrono::steady_clock;

// At exit a stream that is still moving gets this long to take the rest, and
// one that has stopped gives it up sooner (kFlushStallMs without progress).
constexpr int kExitFlushMs = 2000;
constexpr int kFlushStallMs = 250;

struct Message {
  uint64_t order = 0;  // submission order across both streams
  std::string text;
};

struct StreamQueue {
  std::FILE* file = nullptr;
  const char* name = "";
  std::deque<Message> messages;
  size_t queuedBytes = 0;
  uint64_t droppedSinceNote = 0;
  bool writing = false;  // a write of message `writingOrder` has not returned yet
  uint64_t writingOrder = 0;
  steady_clock::time_point writeStarted;
  uint64_t written = 0;
};

struct LogState {
  std::mutex lock;  // guards everything below
  std::condition_variable changed;
  StreamQueue streams[2];
  uint64_t nextOrder = 1;
  uint64_t droppedTotal = 0;
  bool writersRunning = false;
  bool stopping = false;  // at exit, everything written: the writers end
  int writersLeft = 0;    // writers still in their loop
  // Joined at exit once both have left their loop; otherwise never: a writer
  // may be held in a write for as long as its reader pleases, and the relay
  // must still be able to exit (the state is never destroyed).
  std::thread writers[2];
  bool crLfLineEnds = false;
  std::string (*timestampNow)() = nullptr;
};

// Every '\n' that has no '\r' before it gets one.
std::string WithCrLf(const std::string& text) {
  std::string converted;
  converted.reserve(text.size() + text.size() / 16 + 2);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) converted.push_back('\r');
    converted.push_back(text[i]);
  }
  return converted;
}

std::atomic<StreamWriteFunction> streamWrite{nullptr};

void WriteWhole(LogStream stream, std::FILE* file, const std::string& text) {
  // A closed or broken stream drops the message and never stops the relay.
  if (const StreamWriteFunction write = streamWrite.load(); write != nullptr) {
    write(stream, text.data(), text.size());
    return;
  }
  std::fwrite(text.data(), 1, text.size(), file);
  std::fflush(file);
}

bool StuckFor(const StreamQueue& queue, steady_clock::time_point now, int ms) {
  return queue.writing && now - queue.writeStarted >= std::chrono::milliseconds(ms);
}

// True while `other` still has to write a message submitted before `order`
// and its reader keeps up: writing that one first keeps the two streams in
// the order of submission.
bool OtherGoesFirst(const StreamQueue& other, uint64_t order, steady_clock::time_point now) {
  if (other.writing) return other.writingOrder < order && !StuckFor(other, now, kLogStuckMs);
  return !other.messages.empty() && other.messages.front().order < order;
}

void Push(LogState& state, StreamQueue& queue, std::string text) {
  queue.queuedBytes += text.size();
  queue.messages.push_back(Message{state.nextOrder++, std::move(text)});
}

// Called with the lock held once `queue` has moved again after drops.
void QueueDropNote(LogState& state, StreamQueue& queue) {
  std::string note = state.timestampNow != nullptr ? state.timestampNow() + ": " : std::string();
  note += std::to_string(queue.droppedSinceNote) + " log lines dropped: " + queue.name + " was not being read";
  note += state.crLfLineEnds ? "\r\n" : "\n";
  queue.droppedSinceNote = 0;
  // The note goes out even past the bound: it is what says that lines are missing.
  Push(state, state.streams[static_cast<int>(LogStream::Out)], std::move(note));
}

void RunWriter(LogState& state, int index) {
  StreamQueue& own = state.streams[index];
  const StreamQueue& other = state.streams[1 - index];
  std::unique_lock<std::mutex> guard(state.lock);
  for (;;) {
    if (own.messages.empty()) {
      if (state.stopping) break;
      state.changed.wait(guard);
      continue;
    }
    if (OtherGoesFirst(other, own.messages.front().order, steady_clock::now())) {
      state.changed.wait_for(guard, std::chrono::milliseconds(kLogStuckMs));
      continue;
    }
    Message message = std::move(own.messages.front());
    own.messages.pop_front();
    own.queuedBytes -= message.text.size();
    own.writing = true;
    own.writingOrder = message.order;
    own.writeStarted = steady_clock::now();
    guard.unlock();
    WriteWhole(static_cast<LogStream>(index), own.file, message.text);
    guard.lock();
    own.writing = false;
    ++own.written;
    if (own.droppedSinceNote > 0) QueueDropNote(state, own);
    state.changed.notify_all();
  }
  --state.writersLeft;
  state.changed.notify_all();
}

LogState& State();

void FlushAtExit() {
  if (!FlushLogMessages(kExitFlushMs)) return;  // a writer held by its reader is left to the process's end
  // All written: the writers end, so nothing runs on past the exit, and
  // anything said after this is written at once by its caller.
  LogState& state = State();
  std::unique_lock<std::mutex> guard(state.lock);
  state.stopping = true;
  state.writersRunning = false;
  state.changed.notify_all();
  if (!state.changed.wait_for(guard, std::chrono::milliseconds(kLogStuckMs),
                              [&state] { return state.writersLeft == 0; })) {
    return;
  }
  guard.unlock();
  // Both are past their last step: joining takes no time, and no thread of
  // the relay is left running into the exit.
  for (std::thread& writer : state.writers) {
    if (writer.joinable()) writer.join();
  }
}

LogState* CreateState() {
  // Never freed: a writer stuck on a reader that never reads may still hold it
  // while the process exits.
  auto* state = new LogState;
  state->streams[0].file = stdout;
  state->streams[0].name = "standard output";
  state->streams[1].file = stderr;
  state->streams[1].name = "standard error";
  // Unbuffered, so that at exit the C library has nothing of its own to push
  // into a pipe nobody reads; each message is still one write.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  if (StartThread(state->writers[0], [state] { RunWriter(*state, 0); }) &&
      StartThread(state->writers[1], [state] { RunWriter(*state, 1); })) {
    state->writersRunning = true;
    state->writersLeft = 2;
  } else if (state->writers[0].joinable()) {
    // Without the second there are none: lines are written by their callers,
    // and the first is told to end.
    {
      std::lock_guard<std::mutex> guard(state->lock);
      state->stopping = true;
    }
    state->changed.notify_all();
    state->writers[0].join();
  }
  std::atexit(FlushAtExit);
  return state;
}

LogState& State() {
  static LogState* const state = CreateState();
  return *state;
}

bool Pending(const StreamQueue& queue, uint64_t upTo) {
  if (queue.writing && queue.writingOrder <= upTo) return true;
  return !queue.messages.empty() && queue.messages.front().order <= upTo;
}

}  // namespace

void SubmitLogMessage(LogStream stream, std::string text) {
  LogState& state = State();
  std::unique_lock<std::mutex> guard(state.lock);
  StreamQueue& queue = state.streams[static_cast<int>(stream)];
  if (state.crLfLineEnds) text = WithCrLf(text);
  if (!state.writersRunning) {
    // No thread to write for us: write here, as the relay always did.
    WriteWhole(stream, queue.file, text);
    return;
  }
  if (!queue.messages.empty() && queue.queuedBytes + text.size() > kLogQueueMaxBytes) {
    ++queue.droppedSinceNote;
    ++state.droppedTotal;
    return;
  }
  Push(state, queue, std::move(text));
  guard.unlock();
  state.changed.notify_all();
}

bool FlushLogMessages(int waitMs) {
  LogState& state = State();
  const auto deadline = steady_clock::now() + std::chrono::milliseconds(waitMs);
  std::unique_lock<std::mutex> guard(state.lock);
  const uint64_t upTo = state.nextOrder - 1;
  uint64_t seen = state.streams[0].written + state.streams[1].written;
  auto lastProgress = steady_clock::now();
  for (;;) {
    if (!Pending(state.streams[0], upTo) && !Pending(state.streams[1], upTo)) return true;
    const auto now = steady_clock::now();
    const uint64_t written = state.streams[0].written + state.streams[1].written;
    if (written != seen) {
      seen = written;
      lastProgress = now;
    }
    if (now >= deadline || now - lastProgress >= std::chrono::milliseconds(kFlushStallMs)) return false;
    state.changed.wait_for(guard, std::chrono::milliseconds(10));
  }
}

uint64_t DroppedLogMessages() {
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.droppedTotal;
}

void UseStreamWrite(StreamWriteFunction write) { streamWrite.store(write); }

void UseCrLfLineEnds() {
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.crLfLineEnds = true;
}

void SetLogTimestampSource(std::string (*timestampNow)()) {
  LogState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.timestampNow = timestampNow;
}

}  // namespace veltor
