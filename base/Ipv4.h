// IPv4 addresses as the relay keeps them: 32 bits in host byte order, the first
// octet in the most significant byte.
#pragma once

#include <cstdint>

namespace veltor {

// Octet 0 is the first (most significant) one.
inline int Octet(uint32_t address, int index) { return static_cast<int>((address >> (24 - 8 * index)) & 0xFFu); }

}  // namespace veltor
