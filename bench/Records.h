// The stream the source writes: 64-byte records, each with a marker, a kind,
// a sequence number and the CLOCK_MONOTONIC time at which it was handed to
// send(). A client checks the marker and the sequence and, for a probe, takes
// the latency on arrival. Integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "bench/BenchClock.h"

namespace veltor::bench {

inline constexpr size_t kRecordBytes = 64;
inline constexpr uint8_t kProbe = 1;   // its time stamp is a latency sample
inline constexpr uint8_t kFiller = 2;  // carries the volume

namespace record_layout {
inline constexpr uint8_t kMagic[4] = {'V', 'B', 'R', '1'};
inline constexpr size_t kKindAt = 4;
inline constexpr size_t kSequenceAt = 8;
inline constexpr size_t kSentAtAt = 16;
inline constexpr size_t kPaddingAt = 24;

inline void PutU64(uint8_t* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint64_t GetU64(const uint8_t* in) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
  return value;
}
}  // namespace record_layout

inline void BuildRecord(uint8_t* out, uint8_t kind, uint64_t sequence, Ns sentAt) {
  using namespace record_layout;
  std::memcpy(out, kMagic, sizeof kMagic);
  out[kKindAt] = kind;
  out[5] = out[6] = out[7] = 0;
  PutU64(out + kSequenceAt, sequence);
  PutU64(out + kSentAtAt, static_cast<uint64_t>(sentAt));
  for (size_t i = kPaddingAt; i < kRecordBytes; ++i) out[i] = static_cast<uint8_t>(sequence + i);
}

inline bool RecordMarked(const uint8_t* record) {
  return std::memcmp(record, record_layout::kMagic, sizeof record_layout::kMagic) == 0;
}
inline bool RecordIsProbe(const uint8_t* record) { return record[record_layout::kKindAt] == kProbe; }
inline uint64_t RecordSequence(const uint8_t* record) {
  return record_layout::GetU64(record + record_layout::kSequenceAt);
}
inline Ns RecordSentAt(const uint8_t* record) {
  return static_cast<Ns>(record_layout::GetU64(record + record_layout::kSentAtAt));
}

}  // namespace veltor::bench
