// veltor-check's work: load a configuration file with the relay's own loader,
// so it is read exactly as the relay reads it, and report what its author most
// likely did not mean, each finding with its line number and the line.
#pragma once

#include <string>

#include "base/Options.h"
#include "tools/common/HostLookup.h"

namespace veltor::check {

// Exit statuses besides the relay's own 252, 253 and 254.
inline constexpr int kStatusClean = 0;
inline constexpr int kStatusWarnings = 1;

struct CheckResult {
  // 0 clean, 1 warnings, or the relay's status when it would refuse the file.
  int status = kStatusClean;
  // The findings and a closing line; empty for a clean file.
  std::string report;
};

// The loader echoes the rules and prints its own errors on standard error,
// exactly as the relay does. `resolveHost` is asked only when the relay would
// accept the file. The findings about `options` (OptionCheck.h) come after
// the file's, each under the option's name instead of the file's.
CheckResult CheckConfigFile(const std::string& path, const RelayOptions& options,
                            const tools::HostResolver& resolveHost);
// The same without options.
CheckResult CheckConfigFile(const std::string& path, const tools::HostResolver& resolveHost);

}  // namespace veltor::check
