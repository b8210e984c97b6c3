// ReplayBuffer: the most recent bytes of the server's stream, oldest first, so
// a client that joins late can be given what it missed. A ring allocated once
// at its capacity; pages the stream has not yet reached cost no memory.
//
// Main thread only: filled as the stream is handed on, read at an admission.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace veltor {

class ReplayBuffer {
 public:
  // Keeps the last `capacityBytes`; 0 keeps nothing.
  explicit ReplayBuffer(size_t capacityBytes);
  ReplayBuffer(const ReplayBuffer&) = delete;
  ReplayBuffer& operator=(const ReplayBuffer&) = delete;

  // Adds `length` bytes after those held, dropping the oldest beyond the capacity.
  void Append(const uint8_t* bytes, size_t length);

  // The bytes held, oldest first: `first` then `second` (empty unless the ring
  // has wrapped). Valid until the next Append.
  struct Spans {
    std::span<const uint8_t> first;
    std::span<const uint8_t> second;
  };
  Spans View() const;
  // The same bytes as one copy.
  std::vector<uint8_t> Copy() const;

  size_t Size() const { return size_; }
  size_t Capacity() const { return capacity_; }

 private:
  const size_t capacity_;
  std::unique_ptr<uint8_t[]> ring_;
  size_t oldest_ = 0;  // index of the oldest byte held
  size_t size_ = 0;
};

}  // namespace veltor
