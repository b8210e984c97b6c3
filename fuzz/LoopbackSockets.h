// The harness's own side of the loopback connections: plain descriptors, no
// relay code, every wait bounded.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

namespace veltor::fuzz {

inline constexpr uint32_t kLoopbackAddress = 0x7F000001u;  // 127.0.0.1, host order

// True when `fd` has something to read (or an end or error) within `waitMs`.
bool Readable(int fd, int waitMs);
// The local port `fd` is bound to; 0 when unknown.
uint16_t BoundPort(int fd);
// A loopback port that was free a moment ago; 0 when none was found.
uint16_t FreePort();
// A non-blocking listen socket on 127.0.0.1 and a kernel-chosen port; -1 on failure.
int ListenLoopback();
// A non-blocking connection to 127.0.0.1:`port`, made within `waitMs`; -1 on failure.
int ConnectLoopback(uint16_t port, int waitMs);
// Closes with a reset instead of an orderly end.
void ResetAndClose(int fd);
// What one non-blocking send took of the block (0 when nothing).
size_t SendSome(int fd, const uint8_t* bytes, size_t length);
// The number of descriptors the process holds; -1 when unknown.
int OpenDescriptors();

}  // namespace veltor::fuzz
