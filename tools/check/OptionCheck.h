// The relay's options as veltor-check sees them: what the relay would accept
// but most likely could not use on this machine, as the user running the check.
#pragma once

#include <string>
#include <vector>

#include "base/Options.h"

namespace veltor::check {

// One warning about one option, e.g. {"--listen", "10.9.9.9 is not ..."}.
struct OptionFinding {
  std::string option;
  std::string message;
};

// Looks at the directories the stream log and the control socket would be
// made in, and binds a probe socket to the --listen address (port 0, closed
// at once).
std::vector<OptionFinding> CheckOptions(const RelayOptions& options);

}  // namespace veltor::check
