// Running the real relay binary in an end-to-end test: a configuration file
// in a scratch directory, the process with its captured output, and the
// operator's ESC to end it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/FakeServer.h"
#include "tests/support/Loopback.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestClient.h"

namespace veltor::testing {

// Every test client connects from 127.0.0.1, so a rule without DupeOK would
// turn away the second one. This rule admits them all, with pass-through and
// no time limit.
inline constexpr const char* kAllowLoopbackRule = "Y, 127.0.0.1, 255.255.255.255, Y, 0, Y";

// The relay binary: $VELTOR_BINARY if set, else the build's own binary, else
// "veltor" from PATH.
std::string VeltorBinary();

// The relay under test is the Windows build, run under wine
// ($VELTOR_RELAY_SYSTEM=windows): no SIGTERM, SIGHUP or SIGUSR1, no
// descriptor limit, and its log lines end in CR LF (the capture checks each
// one and hands the tests plain '\n').
bool RelayIsWindowsBuild();

// The settings of one relay run. Render() gives the file text: a "MOD:" line
// per text, then the server host, server port, listen port and client
// maximum, then the rule lines, each on its own line. The relay trims every
// line and cuts it at '#', so MOD texts with trailing blanks or '#' do not
// survive. Without a rule line the relay refuses the file.
struct RelayConfig {
  std::vector<std::string> modTexts;
  std::string serverHost = "127.0.0.1";
  uint16_t serverPort = 0;
  uint16_t listenPort = 0;
  int maxClients = 10;
  // "allow, address, mask, passRx, time limit seconds, dupeOK", e.g.
  // "Y, 127.0.0.1, 255.255.255.255, Y, 0, N".
  std::vector<std::string> ruleLines;
  // Keeps listenPort from every other program until the last copy of this
  // configuration goes (see HoldFreePort); empty when nothing holds it.
  std::shared_ptr<const OwnedFd> listenPortHold;

  std::string Render() const;
};

// A relay that fetches from 127.0.0.1:`serverPort`, listens on a free port and
// admits every loopback client. The Linux relay's port is held for it (tests
// run in parallel and would otherwise race for it); the Windows relay's
// exclusive bind would be refused next to the hold, so its port is only free.
RelayConfig LoopbackConfig(uint16_t serverPort);

// One relay process per harness; a second Start on the same harness fails.
class RelayHarness {
 public:
  RelayHarness() = default;
  // A relay still running is killed (SIGKILL) and reaped, then the scratch
  // directory is removed.
  ~RelayHarness() = default;

  RelayHarness(const RelayHarness&) = delete;
  RelayHarness& operator=(const RelayHarness&) = delete;

  // Writes the configuration to "veltor.cfg" in the scratch directory and
  // starts the relay with its path as the only argument; `given` replaces
  // the pipes of standard input or output (see ChildStdio).
  bool Start(const RelayConfig& config, ChildStdio given = {});
  // Start with `options` (e.g. "--listen=127.0.0.2") before the path.
  bool Start(const RelayConfig& config, const std::vector<std::string>& options);
  // Start, then wait until the relay reports its listen socket on
  // config.listenPort. False if either fails.
  bool StartAndWaitListening(const RelayConfig& config,
                             std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  // Starts the relay with exactly `args` (for command-line and file errors);
  // write files first with Dir().WriteFile.
  bool StartWithArgs(const std::vector<std::string>& args);

  ChildProcess& Process() { return process_; }
  TempDir& Dir() { return dir_; }
  const std::string& ConfigPath() const { return configPath_; }
  uint16_t ListenPort() const { return listenPort_; }

  // Presses ESC (byte 27 on stdin) and waits for the exit and all output.
  // `status` (optional) receives the exit status as WaitForExit gives it.
  bool Quit(int* status, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

 private:
  TempDir dir_;          // outlives the process: declared first, destroyed last
  ChildProcess process_;
  std::string configPath_;
  uint16_t listenPort_ = 0;
};

// Connects `client` to the relay's listen port and waits until the relay has
// logged its admission, i.e. until stdout holds "accepted: " at least
// admittedBefore + 1 times. The relay admits at most one client per second,
// so allow a second per client queued ahead. False if the connect fails or
// the admission does not show in time (a denial, for example).
bool ConnectAdmittedClient(RelayHarness& relay, TestClient& client, size_t admittedBefore,
                           std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// A relay connected to a fake server, ready for clients.
class RelayWithServer {
 public:
  explicit RelayWithServer(std::vector<std::string> rules = {kAllowLoopbackRule}, int maxClients = 10,
                           std::vector<std::string> modTexts = {});
  // True once the relay listens and the server holds its connection.
  bool Ready() const { return ok_; }

  // Connects a client and waits for its verdict line; returns that line's text
  // after the "Conn" part (e.g. "denied: rule").
  std::string ConnectAndJudge(TestClient& client);
  size_t Verdicts() { return relay.Process().CountInStdout("... "); }

  FakeServer server;  // declared first: outlives the relay's connection to it
  RelayConfig config;
  RelayHarness relay;

 private:
  bool ok_ = false;
};

}  // namespace veltor::testing
