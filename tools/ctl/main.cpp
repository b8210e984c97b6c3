// veltor-ctl [--json] SOCKET status | SOCKET metrics | SOCKET cut N: asks a
// running relay through its control socket. Exit 0 answered, 1 the relay
// answered with an error, 2 wrong usage or no usable answer.
#include <getopt.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/ctl/Ctl.h"

namespace {

constexpr int kStatusUsage = 2;

const char* const kUsage =
    "Usage: veltor-ctl [--json] SOCKET status\n"
    "       veltor-ctl SOCKET metrics\n"
    "       veltor-ctl SOCKET cut N\n";

int UsageError(const std::string& problem) {
  std::fprintf(stderr, "veltor-ctl: %s\n%s", problem.c_str(), kUsage);
  return kStatusUsage;
}

bool AllDigits(const char* text) {
  if (*text == '\0' || std::strlen(text) > 9) return false;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  enum { kHelp = 'h', kVersion = 'V', kJson = 'j' };
  const option options[] = {{"help", no_argument, nullptr, kHelp},
                            {"version", no_argument, nullptr, kVersion},
                            {"json", no_argument, nullptr, kJson},
                            {nullptr, 0, nullptr, 0}};
  veltor::ctl::Invocation invocation;
  opterr = 0;
  int option = 0;
  // "+": options end at the first operand, as they do for the relay.
  while ((option = getopt_long(argc, argv, "+h", options, nullptr)) != -1) {
    switch (option) {
      case kHelp:
        std::printf(
            "%s\nAsks a running Veltor relay through its control socket (the relay's --control=PATH):\n"
            "  status    the client table as the S key shows it (--json: one JSON object per line,\n"
            "            the relay first, then each client)\n"
            "  metrics   the relay's figures in the Prometheus text format\n"
            "  cut N     ends client N of the table as if its connection had failed\n"
            "Exit status: 0 answered, 1 the relay answered with an error, 2 wrong usage or no answer.\n",
            kUsage);
        return 0;
      case kVersion: std::printf("veltor-ctl 1.0\n"); return 0;
      case kJson: invocation.json = true; break;
      default: return UsageError(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  const int operands = argc - optind;
  if (operands < 2) return UsageError("a socket and a request are needed");
  invocation.socketPath = argv[optind];
  const std::string request = argv[optind + 1];
  if (request == "status" && operands == 2) {
    invocation.request = veltor::ctl::Request::Status;
  } else if (request == "metrics" && operands == 2) {
    invocation.request = veltor::ctl::Request::Metrics;
  } else if (request == "cut" && operands == 3 && AllDigits(argv[optind + 2])) {
    invocation.request = veltor::ctl::Request::Cut;
    invocation.clientNumber = argv[optind + 2];
  } else if (request == "cut") {
    return UsageError("cut takes one client number, as the status table numbers them");
  } else {
    return UsageError("unknown request '" + request + "'");
  }
  if (invocation.json && invocation.request != veltor::ctl::Request::Status) {
    return UsageError("--json goes with status only");
  }
  // A relay that closes early costs a failed send, not the process.
  ::signal(SIGPIPE, SIG_IGN);
  return veltor::ctl::RunCtl(invocation, stdout, stderr);
}
