// The system's name service: blocking look-ups, for look-up threads only.
#pragma once

#include <cstdint>
#include <string>

namespace veltor {

// The first IPv4 address of host `name`, network byte order; 0xFFFFFFFF when
// it has none.
uint32_t LookUpHostAddress(const std::string& name);
// The name of `address` (host byte order) by reverse look-up; empty when there
// is none.
std::string LookUpHostName(uint32_t address);

}  // namespace veltor
