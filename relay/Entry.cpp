#include "relay/Entry.h"

#include "base/Clock.h"
#include "relay/ConfigLoader.h"
#include "relay/Keys.h"
#include "base/Output.h"
#include "base/ThreadCheck.h"
#include "platform/Process.h"
#include "relay/Relay.h"
#include "relay/RelayLoop.h"
#include "net/Resolver.h"
#include "platform/LocalTime.h"

namespace veltor {

namespace {

// The loop's view of the signals received.
class SignalRequests final : public LoopRequests {
 public:
  bool ShutdownRequested() override { return veltor::ShutdownRequested(); }
  bool TakeStatusRequest() override { return veltor::TakeStatusRequest(); }
};

void PrintBanner() {
  LogErr("Veltor 1.0\n");
  LogErr("Written by the Veltor maintainers\n");
  LogErr("https://veltor.example.org/\n");
  LogErr("\n");
  LogErr("ESC to exit, S to show status\n");
  LogErr("\n");
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
  PrintBanner();
  if (argc != 2) {
    LogErr("Usage: Veltor <configFile>\n");
    return kStatusBadArguments;
  }

  RelaySettings settings;
  if (const int status = LoadSettings(argv[1], settings); status != 0) return status;

  Relay relay(settings, SystemResolver());
  TerminalKeys keys;
  SignalRequests requests;
  RelayLoop loop(relay, keys, &requests);
  WakeOnSignals(relay.Wake());
  loop.Start();
  PrintSummary(settings);
  while (loop.Step()) {
  }

  WakeOnSignals(nullptr);
  relay.ShutDown();
  return kStatusOk;
}

}  // namespace veltor
