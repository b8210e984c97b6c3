#include "core/Entry.h"

#include <unistd.h>

#include "clients/Admission.h"
#include "clients/ClientTable.h"
#include "clients/RelayPasses.h"
#include "console/StatusReport.h"
#include "core/Clock.h"
#include "core/ConfigLoader.h"
#include "core/Keyboard.h"
#include "core/Output.h"
#include "core/ProcessSetup.h"
#include "core/RelayLoop.h"
#include "net/ServerLink.h"

namespace veltor {

namespace {

// The relay's state for one run, and the loop's phases over it.
class Relay final : public LoopPhases {
 public:
  explicit Relay(const RelaySettings& settings) : settings_(settings) {}

  void Sweep() override { table_.Sweep(); }
  void OncePerSecond() override {
    EnsureServerSocket(link_, settings_);
    EnsureListenSocket(link_, settings_);
    AcceptPendingClient(link_, table_, settings_);
  }
  void ServerPump() override { veltor::ServerPump(link_, table_); }
  void ClientPass() override { veltor::ClientPass(link_, table_); }
  void PrintStatus() override { veltor::PrintStatus(table_); }

  void ShutDown() {
    table_.TearDown();
    CloseEndpoint(link_, link_.serverSocket);
    CloseEndpoint(link_, link_.listenSocket);
  }

 private:
  const RelaySettings& settings_;
  ServerLink link_;  // both endpoints start absent
  ClientTable table_;
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
  if (!SetUpProcess()) {
    LogErr("Fatal Error: MFC initialization failed\n");
    return kStatusSetUpFailed;
  }
  PrintBanner();
  if (argc != 2) {
    LogErr("Usage: Veltor <configFile>\n");
    return kStatusBadArguments;
  }

  RelaySettings settings;
  if (const int status = LoadSettings(argv[1], settings); status != 0) return status;

  Relay relay(settings);
  TerminalKeys keys(STDIN_FILENO);
  SignalRequests requests;
  RelayLoop loop(CurrentClock(), relay, keys, &requests);
  loop.Start();
  PrintSummary(settings);
  while (loop.Step()) {
  }

  relay.ShutDown();
  return kStatusOk;
}

}  // namespace veltor
