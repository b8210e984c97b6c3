// Running the real program: the banner, the command line, the configuration's
// errors and exit statuses, the echo and summary, and the ways to end it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <ctime>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/FakeServer.h"
#include "tests/support/Loopback.h"
#include "tests/support/Patterns.h"
#include "tests/support/RelayHarness.h"

namespace veltor::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kBanner =
    "Veltor 1.0\n"
    "Written by the Veltor maintainers\n"
    "https://veltor.example.org/\n"
    "\n"
    "ESC to exit, S to show status\n"
    "\n";

// Runs the relay with `args` to its exit; returns the status.
int RunToExit(RelayHarness& relay, const std::vector<std::string>& args) {
  if (!relay.StartWithArgs(args)) return -1000;
  int status = -1;
  if (!relay.Process().WaitForExit(10s, &status)) return -1001;
  return status;
}

TEST(StartupCommandLine, WrongArgumentCountPrintsBannerAndUsage) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"a.conf", "b.conf"}}) {
    RelayHarness relay;
    EXPECT_EQ(RunToExit(relay, args), 254);
    EXPECT_EQ(relay.Process().Stderr(), std::string(kBanner) + "Usage: Veltor <configFile>\n");
    EXPECT_EQ(relay.Process().Stdout(), "");
  }
}

TEST(StartupCommandLine, ABadOptionIsNamedAfterTheBannerThenTheUsage) {
  RelayHarness relay;
  EXPECT_EQ(RunToExit(relay, {"--replay=12Q", "a.conf"}), 254);
  EXPECT_EQ(relay.Process().Stderr(), std::string(kBanner) +
                                          "Error: --replay: '12Q' is not a size (bytes, or K or M)\n"
                                          "Usage: Veltor <configFile>\n");
  EXPECT_EQ(relay.Process().Stdout(), "");
}

TEST(StartupCommandLine, EachBadOptionValueIsNamedWithStatus254) {
  const std::string longPath = "/" + std::string(107, 'p');
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--replay=17M", "a.conf"}, "Error: --replay: '17M' is more than 16M\n"},
      {{"--replay=1M", "--max-backlog=512K", "a.conf"}, "Error: --replay: 1M is more than --max-backlog (512K)\n"},
      {{"--stream-log="}, "Error: --stream-log: the path is empty\n"},
      {{"--stream-log"}, "Error: --stream-log: needs a value\n"},
      {{"--stream-log=x.log", "--stream-log-size=1K", "a.conf"},
       "Error: --stream-log-size: '1K' is less than 4K (0: no rotation)\n"},
      {{"--stream-log=x.log", "--stream-log-keep=1001", "a.conf"},
       "Error: --stream-log-keep: '1001' is not a number from 0 to 1000\n"},
      {{"--stream-log-size=64K", "a.conf"}, "Error: --stream-log-size: needs --stream-log\n"},
      {{"--listen=127.0.0.256", "a.conf"}, "Error: --listen: '127.0.0.256' is not a dotted IPv4 address\n"},
      {{"--control=", "a.conf"}, "Error: --control: the path is empty\n"},
      {{"--control=" + longPath, "a.conf"}, "Error: --control: the path is longer than 107 bytes\n"},
  };
  for (const auto& [args, error] : cases) {
    RelayHarness relay;
    EXPECT_EQ(RunToExit(relay, args), 254) << args[0];
    EXPECT_EQ(relay.Process().Stderr(), std::string(kBanner) + error + "Usage: Veltor <configFile>\n");
    EXPECT_EQ(relay.Process().Stdout(), "");
  }
}

TEST(StartupCommandLine, HelpAndVersionGoToStandardOutputWithoutTheBanner) {
  RelayHarness help;
  EXPECT_EQ(RunToExit(help, {"--help"}), 0);
  EXPECT_TRUE(help.Process().Stdout().starts_with("Usage: veltor [OPTION]... FILE\n"));
  EXPECT_NE(help.Process().Stdout().find("\n  --max-total-backlog=SIZE "), std::string::npos);
  EXPECT_EQ(help.Process().Stderr(), "");
  RelayHarness version;
  EXPECT_EQ(RunToExit(version, {"--version"}), 0);
  EXPECT_EQ(version.Process().Stdout(), "Veltor 1.0\n");
  EXPECT_EQ(version.Process().Stderr(), "");
}

TEST(StartupConfiguration, UnreadableFileIsStatus254) {
  // A file that is not there, a directory, a FIFO nobody writes (opening it
  // would block for ever) and a device that never ends.
  for (const char* name : {"/missing.conf", "/", "", "/fifo", "/dev/zero"}) {
    RelayHarness relay;
    const std::string path = name == std::string("/dev/zero") ? name : relay.Dir().Path() + name;
    if (path.ends_with("/fifo")) {
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    }
    EXPECT_EQ(RunToExit(relay, {path}), 254) << path;
    EXPECT_EQ(relay.Process().Stderr(),
              std::string(kBanner) + "Error: unable to open configuration file " + path + "\n");
  }
}

TEST(StartupConfiguration, BadRuleLineIsStatus253AfterTheRulesBeforeIt) {
  RelayHarness relay;
  const std::string path = relay.Dir().WriteFile(
      "bad.conf", "h\n23\n24\n5\nY, 10.0.0.0, 255.0.0.0, N, 30, Y\nY, 10.0.0 .1, N\nnever read\n");
  EXPECT_EQ(RunToExit(relay, {path}), 253);
  EXPECT_EQ(relay.Process().Stderr(), std::string(kBanner) +
                                          "Mask   1: Allow   10.  0.  0.  0  255.  0.  0.  0  NoPassRx DupeOK  30\n"
                                          "Error: invalid configuration line:\n  Y,10.0.0.1,N\n");
}

TEST(StartupConfiguration, IncompleteFilesAreStatus252) {
  const char* const files[] = {
      "# comments only\n\n",
      "h\n23\n24\n5\n",                          // no rule
      "h\nport\n24\n5\nY,0.0.0.0,0.0.0.0,N,0,N\n",  // a port of letters
      "h\n23\n24\n0\nY,0.0.0.0,0.0.0.0,N,0,N\n",    // zero client maximum
  };
  for (const char* contents : files) {
    RelayHarness relay;
    EXPECT_EQ(RunToExit(relay, {relay.Dir().WriteFile("c.conf", contents)}), 252) << contents;
    const std::string err = relay.Process().Stderr();
    EXPECT_TRUE(err.ends_with("Error: invalid configuration file format\n")) << err;
  }
}

RelayConfig QuietConfig() {
  RelayConfig config = LoopbackConfig(FindFreePort());  // nothing listens there
  config.maxClients = 7;
  config.ruleLines = {"Y, 127.0.0.1, 255.255.255.255, Y, 0, N", "N,0.0.0.0,0.0.0.0,N,-1,N"};
  return config;
}

TEST(StartupConfiguration, OversizedFileIsRefusedUnreadAndAByteOrderMarkIsSkipped) {
  RelayHarness big;
  const std::string path = big.Dir().WriteFile("big.conf", std::string(16 * 1024 * 1024 + 1, '#'));
  EXPECT_EQ(RunToExit(big, {path}), 254);
  EXPECT_EQ(big.Process().Stderr(), std::string(kBanner) + "Error: configuration file " + path +
                                        " is too large (at most 16777216 bytes)\n");

  RelayHarness relay;
  RelayConfig config = QuietConfig();
  config.modTexts = {"hello"};
  ASSERT_TRUE(relay.StartWithArgs({relay.Dir().WriteFile("bom.conf", "\xEF\xBB\xBF" + config.Render())}));
  ASSERT_TRUE(relay.Process().WaitForStderr("Max clients: 7\n", 5s)) << relay.Process().Stderr();
  EXPECT_NE(relay.Process().Stderr().find("\nServer: 127.0.0.1 : "), std::string::npos) << relay.Process().Stderr();
  ASSERT_TRUE(relay.Quit(nullptr));
}

TEST(StartupRun, EchoesRulesAndSummaryThenEscEndsWithStatusZero) {
  RelayHarness relay;
  const RelayConfig config = QuietConfig();
  ASSERT_TRUE(relay.StartAndWaitListening(config));
  const std::string expected = std::string(kBanner) +
                               "Mask   1: Allow  127.  0.  0.  1  255.255.255.255    PassRx NoDupe  0\n"
                               "Mask   2:  Deny    0.  0.  0.  0    0.  0.  0.  0  NoPassRx NoDupe  -1\n"
                               "Server: 127.0.0.1 : " + std::to_string(config.serverPort) + "\n" +
                               "Listening on port " + std::to_string(config.listenPort) + "\n" +
                               "Max clients: 7\n\n";
  // The two streams are separate pipes: the summary on standard error may land
  // after the listen line on standard output.
  ASSERT_TRUE(relay.Process().WaitForStderr("Max clients: 7\n\n", 5s)) << relay.Process().Stderr();
  EXPECT_TRUE(relay.Process().Stderr().starts_with(expected)) << relay.Process().Stderr();

  // Event lines carry the local time (the tests run in a zone that is not UTC).
  const std::string listenLine = relay.Process().Stdout();
  bool local = false;
  for (time_t back = 0; back < 10 && !local; ++back) {
    local = listenLine.find(Stamp(std::time(nullptr) - back) + ": listen socket created") != std::string::npos;
  }
  EXPECT_TRUE(local) << listenLine;

  const auto pressed = std::chrono::steady_clock::now();
  int status = -1;
  ASSERT_TRUE(relay.Quit(&status, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - pressed, 1500ms);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(relay.Process().Stdout().ends_with(": listen socket disconnected\n"));
}

TEST(StartupRun, EachShutdownSignalEndsLikeEsc) {
  // Under wine SIGINT arrives as Ctrl-C; SIGTERM and SIGHUP, which Windows does
  // not have, end the process outright.
  const std::vector<int> signals =
      RelayIsWindowsBuild() ? std::vector<int>{SIGINT} : std::vector<int>{SIGTERM, SIGINT, SIGHUP};
  for (int signalNumber : signals) {
    RelayHarness relay;
    ASSERT_TRUE(relay.StartAndWaitListening(QuietConfig()));
    relay.Process().Signal(signalNumber);
    int status = -1;
    ASSERT_TRUE(relay.Process().WaitForExit(2s, &status)) << signalNumber;
    EXPECT_EQ(status, 0) << signalNumber;
    EXPECT_EQ(relay.Process().CountInStdout("listen socket disconnected\n"), 1u);
  }
}

TEST(StartupRun, TheReopenSignalNeverEndsTheRelay) {
  if (RelayIsWindowsBuild()) GTEST_SKIP() << "Windows has no SIGUSR2";
  RelayHarness relay;
  ASSERT_TRUE(relay.StartAndWaitListening(QuietConfig()));
  relay.Process().Signal(SIGUSR2);
  const size_t retries = relay.Process().CountInStderr("Unable to connect to server");
  ASSERT_TRUE(relay.Process().WaitForStderr("Unable to connect to server", 5s, retries + 1));
  relay.Process().Signal(SIGINT);
  int status = -1;
  ASSERT_TRUE(relay.Process().WaitForExit(2s, &status));
  EXPECT_EQ(status, 0);
}

TEST(StartupRun, EndOfInputKeepsTheRelayRunning) {
  RelayHarness relay;
  ASSERT_TRUE(relay.StartAndWaitListening(QuietConfig()));
  relay.Process().CloseStdin();
  // Still retrying its server a second later, and still answering a signal.
  const size_t retries = relay.Process().CountInStderr("Unable to connect to server");
  ASSERT_TRUE(relay.Process().WaitForStderr("Unable to connect to server", 5s, retries + 1));
  EXPECT_TRUE(relay.Process().Running());
  relay.Process().Signal(SIGINT);
  int status = -1;
  ASSERT_TRUE(relay.Process().WaitForExit(2s, &status));
  EXPECT_EQ(status, 0);
}

TEST(StartupRun, KeysOnAPipeAreReadOneByOne) {
  RelayHarness relay;
  ASSERT_TRUE(relay.StartAndWaitListening(QuietConfig()));
  ASSERT_TRUE(relay.Process().WriteStdin("xSs"));
  ASSERT_TRUE(relay.Process().WaitForStderr(" 0 clients:\n", 5s, 2));
  ASSERT_TRUE(relay.Process().WriteStdin("\x1b" "S"));
  int status = -1;
  ASSERT_TRUE(relay.Process().WaitForExit(2s, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(relay.Process().CountInStderr(" 0 clients:\n"), 2u);  // the S after ESC is never read
  const std::regex statusLine("\n" + kStampRegex + "0 clients:\n");
  EXPECT_TRUE(std::regex_search(relay.Process().Stderr(), statusLine));
}

TEST(StartupRun, ClosedStandardOutputNeverLendsItsNumberToASocket) {
  FakeServer server;
  ASSERT_TRUE(server.Listen());
  RelayConfig config = QuietConfig();
  config.serverPort = server.Port();
  RelayHarness relay;
  const std::string path = relay.Dir().WriteFile("veltor.conf", config.Render());
  ChildProcess shell;
  ASSERT_TRUE(shell.Start("/bin/sh", {"-c", "exec \"$0\" \"$1\" 1>&-", VeltorBinary(), path}));
  ASSERT_TRUE(server.AcceptConnection(5s));
  // Were the log written to descriptor 1 and the server socket given that
  // number, the server would now receive the event log.
  EXPECT_EQ(server.ReceiveFor(1500ms), "");
  ASSERT_TRUE(shell.WriteStdin("\x1b"));
  int status = -1;
  ASSERT_TRUE(shell.WaitForExit(5s, &status));
  EXPECT_EQ(status, 0);
}

TEST(StartupRun, EscBeforeAnyEndpointOpensPrintsNoDisconnectLine) {
  // A listen port that is taken and a server that is down: nothing ever opens.
  FakeServer holder;
  ASSERT_TRUE(holder.Listen());
  RelayConfig config = QuietConfig();
  config.listenPort = holder.Port();
  RelayHarness relay;
  ASSERT_TRUE(relay.Start(config));
  ASSERT_TRUE(relay.Process().WaitForStderr("Port might be in use\n", 5s));
  int status = -1;
  ASSERT_TRUE(relay.Quit(&status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(relay.Process().Stdout(), "");
}

}  // namespace
}  // namespace veltor::testing
