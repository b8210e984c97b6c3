#include "clients/ReplayBuffer.h"

#include <algorithm>
#include <cstring>

namespace veltor {

ReplayBuffer::ReplayBuffer(size_t capacityBytes)
    // Left uninitialised on purpose: a large block comes straight from the
    // system and its pages are paid for only as the stream fills them.
    : capacity_(capacityBytes),
      ring_(capacityBytes > 0 ? std::make_unique_for_overwrite<uint8_t[]>(capacityBytes) : nullptr) {}

void ReplayBuffer::Append(const uint8_t* bytes, size_t length) {
  if (capacity_ == 0 || length == 0) return;
  if (length >= capacity_) {
    std::memcpy(ring_.get(), bytes + (length - capacity_), capacity_);
    oldest_ = 0;
    size_ = capacity_;
    return;
  }
  const size_t end = (oldest_ + size_) % capacity_;
  const size_t tillWrap = std::min(length, capacity_ - end);
  std::memcpy(ring_.get() + end, bytes, tillWrap);
  std::memcpy(ring_.get(), bytes + tillWrap, length - tillWrap);
  const size_t overflow = size_ + length > capacity_ ? size_ + length - capacity_ : 0;
  size_ += length - overflow;
  oldest_ = (oldest_ + overflow) % capacity_;
}

ReplayBuffer::Spans ReplayBuffer::View() const {
  if (size_ == 0) return {};
  const size_t firstLength = std::min(size_, capacity_ - oldest_);
  return {{ring_.get() + oldest_, firstLength}, {ring_.get(), size_ - firstLength}};
}

std::vector<uint8_t> ReplayBuffer::Copy() const {
  const Spans spans = View();
  std::vector<uint8_t> copy;
  copy.reserve(size_);
  copy.insert(copy.end(), spans.first.begin(), spans.first.end());
  copy.insert(copy.end(), spans.second.begin(), spans.second.end());
  return copy;
}

}  // namespace veltor
