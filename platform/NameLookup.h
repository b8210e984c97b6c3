// The system's name service. Both calls block for as long as the name service
// takes: look-up threads only (net/Resolver runs them there). Written once,
// for both systems, in platform/NameLookup.cpp.
#pragma once

#include <cstdint>
#include <string>

namespace veltor {

// The first IPv4 address of host `name`, network byte order; 0xFFFFFFFF when
// it has none.
uint32_t LookUpHostAddressBlocking(const std::string& name);
// The name of `address` (host byte order) by reverse look-up; empty when there
// is none.
std::string LookUpHostNameBlocking(uint32_t address);

}  // namespace veltor
