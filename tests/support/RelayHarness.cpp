#include "tests/support/RelayHarness.h"

#include <cstdlib>
#include <thread>

#include "tests/support/Deadline.h"
#include "tests/support/Loopback.h"

namespace veltor::testing {

std::string VeltorBinary() {
  // The environment wins so a test run can point at another build without
  // recompiling; the macro comes from the build, which knows where it put
  // the binary.
  if (const char* fromEnvironment = std::getenv("VELTOR_BINARY");
      fromEnvironment != nullptr && *fromEnvironment != '\0') {
    return fromEnvironment;
  }
#ifdef VELTOR_BINARY
  return VELTOR_BINARY;
#else
  return "veltor";
#endif
}

bool RelayIsWindowsBuild() {
  const char* system = std::getenv("VELTOR_RELAY_SYSTEM");
  return system != nullptr && std::string(system) == "windows";
}

std::string RelayConfig::Render() const {
  std::string text;
  for (const std::string& mod : modTexts) text += "MOD:" + mod + "\n";
  text += serverHost + "\n";
  text += std::to_string(serverPort) + "\n";
  text += std::to_string(listenPort) + "\n";
  text += std::to_string(maxClients) + "\n";
  for (const std::string& rule : ruleLines) text += rule + "\n";
  return text;
}

RelayConfig LoopbackConfig(uint16_t serverPort) {
  RelayConfig config;
  config.serverPort = serverPort;
  if (RelayIsWindowsBuild()) {
    config.listenPort = FindFreePort();
  } else {
    config.listenPortHold = std::make_shared<const OwnedFd>(HoldFreePort(config.listenPort));
  }
  config.ruleLines = {kAllowLoopbackRule};
  return config;
}

bool RelayHarness::Start(const RelayConfig& config, ChildStdio given) {
  configPath_ = dir_.WriteFile("veltor.cfg", config.Render());
  if (configPath_.empty()) return false;
  listenPort_ = config.listenPort;
  return process_.Start(VeltorBinary(), {configPath_}, RelayIsWindowsBuild(), given);
}

bool RelayHarness::Start(const RelayConfig& config, const std::vector<std::string>& options) {
  configPath_ = dir_.WriteFile("veltor.cfg", config.Render());
  if (configPath_.empty()) return false;
  listenPort_ = config.listenPort;
  std::vector<std::string> args = options;
  args.push_back(configPath_);
  return process_.Start(VeltorBinary(), args, RelayIsWindowsBuild());
}

bool RelayHarness::StartAndWaitListening(const RelayConfig& config,
                                         std::chrono::milliseconds timeout) {
  if (!Start(config)) return false;
  // The line end keeps port 1234 from matching a report about port 12345.
  const std::string listening =
      "listen socket created on port " + std::to_string(config.listenPort) + "\n";
  return process_.WaitForStdout(listening, timeout);
}

bool RelayHarness::StartWithArgs(const std::vector<std::string>& args) {
  return process_.Start(VeltorBinary(), args, RelayIsWindowsBuild());
}

bool RelayHarness::Quit(int* status, std::chrono::milliseconds timeout) {
  // A relay that already ended has closed its stdin, so the write may fail;
  // the exit is what matters.
  process_.WriteStdin("\x1b");
  return process_.WaitForExit(timeout, status);
}

bool ConnectAdmittedClient(RelayHarness& relay, TestClient& client, size_t admittedBefore,
                           std::chrono::milliseconds timeout) {
  const Deadline deadline(timeout);
  if (!client.Connect(relay.ListenPort(), timeout)) return false;
  const auto left = std::chrono::milliseconds(deadline.PollTimeoutMs());
  return relay.Process().WaitForStdout("accepted: ", left, admittedBefore + 1);
}

RelayWithServer::RelayWithServer(std::vector<std::string> rules, int maxClients, std::vector<std::string> modTexts) {
  ok_ = server.Listen();
  config = LoopbackConfig(server.Port());
  config.maxClients = maxClients;
  config.ruleLines = std::move(rules);
  config.modTexts = std::move(modTexts);
  ok_ = ok_ && relay.StartAndWaitListening(config) && server.AcceptConnection(kCap) &&
        relay.Process().WaitForStdout("server socket created to", kCap);
}

std::string RelayWithServer::ConnectAndJudge(TestClient& client) {
  const size_t before = Verdicts();
  if (!client.Connect(config.listenPort)) return "<connect failed>";
  if (!relay.Process().WaitForStdout("... ", kCap, before + 1)) return "<no verdict>";
  // The verdict completes the line shortly after the "Conn" part.
  const Deadline deadline(kCap);
  while (!deadline.Expired()) {
    const std::string out = relay.Process().Stdout();
    size_t at = 0;
    for (size_t i = 0; i <= before; ++i) at = out.find("... ", at) + 4;
    const size_t end = out.find('\n', at);
    if (end != std::string::npos) return out.substr(at, end - at);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return "<unfinished verdict>";
}

}  // namespace veltor::testing
