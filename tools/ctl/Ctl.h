// veltor-ctl's work: one request to a relay's control socket, and its answer
// shown as it came or, for status, as the operator's table.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace veltor::ctl {

// What the relay said: `reached` false when no answer came, `error` then says why.
struct Reply {
  bool reached = false;
  std::string answer;
  std::string error;
};

// Connects to the Unix socket at `socketPath`, sends `requestLine` (with its
// line end) and reads the answer to the relay's close, all within `limit`.
Reply AskRelay(const std::string& socketPath, const std::string& requestLine, std::chrono::milliseconds limit);

// The S key's table, with `timestamp`, from a status answer (JSON Lines);
// false when the answer is not one.
bool StatusTable(const std::string& answer, const std::string& timestamp, std::string& table);

enum class Request { Status, Metrics, Cut };

struct Invocation {
  std::string socketPath;
  Request request = Request::Status;
  std::string clientNumber;  // Cut: decimal digits
  bool json = false;         // Status: the raw lines
};

// Runs one invocation and returns the exit status: 0 answered, 1 the relay
// answered with an error line, 2 no usable answer.
int RunCtl(const Invocation& invocation, std::FILE* out, std::FILE* err);

}  // namespace veltor::ctl
