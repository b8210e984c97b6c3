#include "base/Ipv4.h"

#include <cstdio>

namespace veltor {

namespace {

std::string FormatOctets(const char* format, uint32_t address) {
  char text[32];
  std::snprintf(text, sizeof text, format, Octet(address, 0), Octet(address, 1), Octet(address, 2), Octet(address, 3));
  return text;
}

}  // namespace

std::string DottedAddress(uint32_t address) { return FormatOctets("%d.%d.%d.%d", address); }

std::string PaddedAddress(uint32_t address) { return FormatOctets("%3d.%3d.%3d.%3d", address); }

}  // namespace veltor
