#include "relay/Entry.h"

#include <string>
#include <vector>

#include "base/Clock.h"
#include "relay/CommandLine.h"
#include "relay/ConfigLoader.h"
#include "relay/Keys.h"
#include "base/Output.h"
#include "base/ThreadCheck.h"
#include "platform/Process.h"
#include "platform/ServiceNotify.h"
#include "relay/Relay.h"
#include "relay/ServiceNotifier.h"
#include "relay/RelayLoop.h"
#include "net/Resolver.h"
#include "platform/LocalTime.h"

namespace veltor {

namespace {

constexpr int kReadyLogFlushMs = 1000;

// The loop's view of the signals received.
class SignalRequests final : public LoopRequests {
 public:
  bool ShutdownRequested() override { return veltor::ShutdownRequested(); }
  bool TakeStatusRequest() override { return veltor::TakeStatusRequest(); }
  bool TakeReopenRequest() override { return veltor::TakeReopenRequest(); }
};

constexpr const char* kVersionLine = "Veltor 1.0\n";

void PrintBanner() {
  LogErr("%s", kVersionLine);
  LogErr("Written by the Veltor maintainers\n");
  LogErr("https://veltor.example.org/\n");
  LogErr("\n");
  LogErr("ESC to exit, S to show status\n");
  LogErr("\n");
}

void PrintHelp() {
  LogOut("Usage: veltor [OPTION]... FILE\n"
         "Relays the byte stream of one TCP server to many TCP clients, as configuration FILE says.\n"
         "\n"
         "%s",
         OptionsHelpText().c_str());
}

void PrintSummary(const RelaySettings& settings) {
  LogErr("Server: %s : %d\n", settings.serverHost.c_str(), static_cast<int>(settings.serverPort));
  LogErr("Listening on port %d\n", static_cast<int>(settings.listenPort));
  LogErr("Max clients: %d\n", settings.maxClients);
  LogErr("\n");
}

}  // namespace

int RunVeltor(int argc, char** argv) {
  MarkMainThread();
  if (!SetUpProcess()) {
    LogErr("Fatal Error: MFC initialization failed\n");
    return kStatusSetUpFailed;
  }
  SetLogTimestampSource(TimestampNow);
  // A program started with no argv[0] at all has no arguments either.
  const std::vector<std::string> args =
      argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
  const CommandLine commandLine = ParseCommandLine(args);
  if (commandLine.action == CommandLine::Action::kHelp) {
    PrintHelp();
    return kStatusOk;
  }
  if (commandLine.action == CommandLine::Action::kVersion) {
    LogOut("%s", kVersionLine);
    return kStatusOk;
  }
  PrintBanner();
  if (commandLine.action == CommandLine::Action::kRefuse) {
    if (!commandLine.error.empty()) LogErr("%s", commandLine.error.c_str());
    LogErr("Usage: Veltor <configFile>\n");
    return kStatusBadArguments;
  }
  const RelayOptions options = commandLine.options;

  RelaySettings settings;
  if (const int status = LoadSettings(commandLine.configPath, settings); status != 0) return status;

  ServiceNotifier notifier(ReadServiceEnvironment(), CurrentProcessId(), TickNow());
  Relay relay(settings, options, SystemResolver(), &notifier);
  TerminalKeys keys;
  SignalRequests requests;
  RelayLoop loop(relay, keys, &requests);
  WakeOnSignals(relay.Wake());
  loop.Start();
  PrintSummary(settings);
  // Whoever waits for readiness may look for the summary next: it goes out
  // first, as long as its reader takes it (bounded).
  if (notifier.Enabled()) FlushLogMessages(kReadyLogFlushMs);
  notifier.Ready();
  while (loop.Step()) {
  }
  notifier.Stopping();

  WakeOnSignals(nullptr);
  relay.ShutDown();
  return kStatusOk;
}

}  // namespace veltor
