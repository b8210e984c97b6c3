// The control socket's requests, one line each, and the short answers that
// are not views of their own: "status", "metrics", "cut N".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace veltor {

struct ControlRequest {
  enum class Kind { Status, Metrics, Cut, Unknown };
  Kind kind = Kind::Unknown;
  int64_t clientNumber = 0;  // Cut: the status table's number, 1 and up
};

// Reads one request line without its line end; blanks around the words are
// allowed. "cut" takes one decimal number of at most nine digits; anything
// else is Unknown.
ControlRequest ParseControlRequest(std::string_view line);

// "ok\n"
std::string ControlOkAnswer();
// "error: no client 7\n"
std::string NoClientAnswer(int64_t clientNumber);
// "error: unknown request 'foo' (status, metrics or cut N)\n", the request's
// bytes outside printable ASCII shown as \xNN.
std::string UnknownRequestAnswer(std::string_view line);
// "error: request longer than 256 bytes\n"
std::string RequestTooLongAnswer(size_t maxBytes);

}  // namespace veltor
