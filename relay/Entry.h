// The program: process set-up, banner, command line, settings, the relay loop
// with its phases, and the orderly shutdown. Returns the exit status.
#pragma once

namespace veltor {

// Exit statuses besides those of the configuration loader.
inline constexpr int kStatusOk = 0;
inline constexpr int kStatusSetUpFailed = -1;

int RunVeltor(int argc, char** argv);

}  // namespace veltor
