#include "platform/Terminal.h"

#include <conio.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/windows/Winsock.h"

namespace veltor {

namespace {

// What the reading thread hands the loop. Shared, so the thread, which may
// sit in a read of standard input until the process ends, never outlives it.
struct KeyQueue {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<unsigned char> bytes;
  bool ended = false;
  bool stop = false;
  WakeSignal* wake = nullptr;  // the loop's, raised for each key while set

  void Push(const unsigned char* data, size_t count) {
    std::lock_guard<std::mutex> guard(mutex);
    bytes.insert(bytes.end(), data, data + count);
    if (wake != nullptr) wake->Raise();
    arrived.notify_all();
  }
  void End() {
    std::lock_guard<std::mutex> guard(mutex);
    ended = true;
    if (wake != nullptr) wake->Raise();
    arrived.notify_all();
  }
  bool Stopping() {
    std::lock_guard<std::mutex> guard(mutex);
    return stop;
  }
};

// How often the console reader looks at its stop request while no key comes.
constexpr DWORD kConsoleWaitMs = 200;

// A console: the runtime's _kbhit/_getch, which turn the console's key events
// into bytes. Arrows and function keys arrive as 0 or 224 and a code; both
// bytes are dropped. Events that give no byte (a key let go, a lone Shift,
// the mouse, focus) are removed, or they would keep the input signalled.
void ReadConsoleKeys(const std::shared_ptr<KeyQueue>& queue, HANDLE input) {
  while (!queue->Stopping()) {
    WaitForSingleObject(input, kConsoleWaitMs);
    while (_kbhit()) {
      const int key = _getch();
      if (key == 0 || key == 0xE0) {
        _getch();
        continue;
      }
      const unsigned char byte = static_cast<unsigned char>(key);
      queue->Push(&byte, 1);
    }
    DWORD pending = 0;
    while (GetNumberOfConsoleInputEvents(input, &pending) && pending > 0 && !_kbhit()) {
      INPUT_RECORD dropped;
      DWORD count = 0;
      if (!ReadConsoleInputW(input, &dropped, 1, &count)) break;
    }
  }
}

// A pipe or a file: its bytes are the keys, as they come. _kbhit never sees
// them, and the read itself is the only way to wait for them.
void ReadPipedKeys(const std::shared_ptr<KeyQueue>& queue, HANDLE input) {
  unsigned char chunk[256];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(input, chunk, sizeof chunk, &got, nullptr) || got == 0) break;
    queue->Push(chunk, got);
    if (queue->Stopping()) return;
  }
  queue->End();
}

}  // namespace

struct ConsoleInput::State {
  std::shared_ptr<KeyQueue> keys = std::make_shared<KeyQueue>();
};

ConsoleInput::ConsoleInput() : state_(std::make_unique<State>()) {
  std::shared_ptr<KeyQueue> queue = state_->keys;
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) {
    queue->ended = true;
    return;
  }
  // GetConsoleMode, not _isatty: the null device passes for a character
  // device, but it is no keyboard.
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode) != 0) {
    std::thread([queue, input] { ReadConsoleKeys(queue, input); }).detach();
  } else {
    std::thread([queue, input] { ReadPipedKeys(queue, input); }).detach();
  }
}

ConsoleInput::~ConsoleInput() {
  KeyQueue& keys = *state_->keys;
  std::lock_guard<std::mutex> guard(keys.mutex);
  keys.stop = true;
  keys.wake = nullptr;
}

bool ConsoleInput::SendsEscapeSequences() const { return false; }

bool ConsoleInput::TakeKeys() {
  KeyQueue& keys = *state_->keys;
  std::lock_guard<std::mutex> guard(keys.mutex);
  return !keys.ended || !keys.bytes.empty();
}

int ConsoleInput::ReadByte(int waitMs) {
  KeyQueue& keys = *state_->keys;
  std::unique_lock<std::mutex> lock(keys.mutex);
  keys.arrived.wait_for(lock, std::chrono::milliseconds(waitMs), [&keys] { return !keys.bytes.empty() || keys.ended; });
  if (keys.bytes.empty()) return -1;
  const int byte = keys.bytes.front();
  keys.bytes.pop_front();
  return byte;
}

void ConsoleInput::WaitReadable(int waitMs, WakeSignal* wake) {
  KeyQueue& keys = *state_->keys;
  {
    std::unique_lock<std::mutex> lock(keys.mutex);
    keys.wake = wake;
    if (!keys.bytes.empty() || keys.ended) return;
    if (wake == nullptr) {
      keys.arrived.wait_for(lock, std::chrono::milliseconds(waitMs),
                            [&keys] { return !keys.bytes.empty() || keys.ended; });
      return;
    }
  }
  // The reader raises the loop's own signal for a key, so one wait serves
  // both; the signal is left raised for the loop to see.
  wake->Wait(waitMs);
}

}  // namespace veltor
