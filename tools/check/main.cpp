// veltor-check FILE: reads a relay configuration as the relay does and reports
// what its author most likely did not mean. Exit 0 clean, 1 warnings, or the
// relay's own 252/253/254 when it would refuse the file.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/check/ConfigCheck.h"

namespace {

constexpr int kStatusUsage = 2;
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
  const std::string usage = "Usage: veltor-check FILE\n";
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    Write(STDOUT_FILENO, usage +
                             "Reads a Veltor configuration file exactly as the relay does, echoes its rules and "
                             "reports\nwhat was most likely not meant. Exit status: 0 clean, 1 warnings, "
                             "252-254 the relay refuses the file.\n");
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    Write(STDOUT_FILENO, "veltor-check 1.0\n");
    return 0;
  }
  if (argc != 2) {
    Write(STDERR_FILENO, usage);
    return kStatusUsage;
  }
  const veltor::check::CheckResult result =
      veltor::check::CheckConfigFile(argv[1], veltor::tools::TimeBoundResolver(kLookupLimit));
  Write(STDOUT_FILENO, result.report);
  return result.status;
}
