// veltor-watch's work: one connection to a relay, its greeting frames shown as
// text lines, then the stream copied raw to the output and the input to the relay.
#pragma once

#include <cstdint>
#include <string>

#include "tools/common/GreetingDecoder.h"

namespace veltor::watch {

// "[greeting] text" for a frame, "[greeting] bad frame (...): text" for one
// whose checksum is wrong; control bytes made visible; with its newline.
std::string GreetingLine(const tools::GreetingDecode& frame);

// Runs until the relay closes the connection or `inFd` ends. Messages go to
// `errFd`. Returns the exit status: 0, or 1 when the relay cannot be reached
// or the connection fails.
int RunWatch(const std::string& host, uint16_t port, int inFd, int outFd, int errFd);

}  // namespace veltor::watch
