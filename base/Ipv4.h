// IPv4 addresses as the relay keeps them: 32 bits in host byte order, the first
// octet in the most significant byte, and their text.
#pragma once

#include <cstdint>
#include <string>

namespace veltor {

// "No address": what a dotted text or a name that does not resolve gives, in
// network byte order (the all-ones address).
inline constexpr uint32_t kNoAddress = 0xFFFFFFFFu;
// Every local address, as a listening socket is bound to by default.
inline constexpr uint32_t kAnyAddress = 0;

// Octet 0 is the first (most significant) one.
constexpr int Octet(uint32_t address, int index) { return static_cast<int>((address >> (24 - 8 * index)) & 0xFFu); }

// "10.1.2.3"
std::string DottedAddress(uint32_t address);
// " 10.  1.  2.  3": each octet right-aligned in three places.
std::string PaddedAddress(uint32_t address);

}  // namespace veltor
