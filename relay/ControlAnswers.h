// The relay's answers on its control socket: one request line in, one answer
// out, made on the main thread from the relay's state at that moment.
#pragma once

#include <string>

namespace veltor {

class Relay;

// "status": the relay's status lines; "metrics": its metrics text; "cut N":
// ends client N as if its connection had failed, "ok"; anything else, or a
// number not in the table, one error line.
std::string AnswerControlRequest(Relay& relay, const std::string& request);

}  // namespace veltor
