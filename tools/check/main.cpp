// veltor-check [OPTION]... FILE: reads a relay configuration as the relay
// does, with the relay's own options, and reports what its author most likely
// did not mean. Exit 0 clean, 1 warnings, or the relay's own 252/253/254 when
// it would refuse the file or the options.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "relay/CommandLine.h"
#include "relay/ConfigLoader.h"
#include "base/LogWriter.h"
#include "tools/check/ConfigCheck.h"

namespace {

constexpr int kStatusUsage = 2;
constexpr int kLogFlushMs = 2000;
// Under ExecStartPre a dead name server must not hold the service's start.
constexpr std::chrono::milliseconds kLookupLimit(3000);

void Write(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written <= 0) return;
    done += static_cast<size_t>(written);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string usage = "Usage: veltor-check [OPTION]... FILE\n";
  const std::vector<std::string> args =
      argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
  veltor::CommandLine line = veltor::ParseCommandLine(args);
  // -h stays, as it was before the options came.
  if (args.size() == 1 && args[0] == "-h") line.action = veltor::CommandLine::Action::kHelp;
  switch (line.action) {
    case veltor::CommandLine::Action::kHelp:
      Write(STDOUT_FILENO, usage +
                               "Reads a Veltor configuration file exactly as the relay does, echoes its rules and "
                               "reports\nwhat was most likely not meant; checks the relay's options with it. Exit "
                               "status: 0 clean,\n1 warnings, 252-254 the relay refuses the file or the options.\n\n" +
                               veltor::OptionsHelpText());
      return 0;
    case veltor::CommandLine::Action::kVersion:
      Write(STDOUT_FILENO, "veltor-check 1.0\n");
      return 0;
    case veltor::CommandLine::Action::kRefuse:
      // A bad option is refused as the relay refuses it; no FILE, or more than one, is this program's own usage error.
      Write(STDERR_FILENO, line.error + usage);
      return line.error.empty() ? kStatusUsage : (veltor::kStatusBadArguments & 0xFF);
    case veltor::CommandLine::Action::kRun:
      break;
  }
  const veltor::check::CheckResult result =
      veltor::check::CheckConfigFile(line.configPath, line.options, veltor::tools::TimeBoundResolver(kLookupLimit));
  // The loader's rule echo goes out through the relay's log writer: it comes
  // before the report, as a reader of both streams in one file expects.
  veltor::FlushLogMessages(kLogFlushMs);
  Write(STDOUT_FILENO, result.report);
  return result.status;
}
