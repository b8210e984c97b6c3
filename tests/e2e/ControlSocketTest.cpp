// The control socket of the real program (--control=PATH): status against
// the S key's table, cut, the socket file, clients that hang, and veltor-ctl.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/Constants.h"
#include "console/FlatJson.h"
#include "console/StatusJson.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Deadline.h"
#include "tests/support/FakeServer.h"
#include "tests/support/Loopback.h"
#include "tests/support/Patterns.h"
#include "tests/support/RelayHarness.h"

namespace veltor::testing {
namespace {

using namespace std::chrono_literals;

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
  return address;
}

OwnedFd ConnectControl(const std::string& path) {
  OwnedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = AddressOf(path);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return OwnedFd();
  return fd;
}

// One request line and its whole answer, to the relay's close.
std::string Ask(const std::string& path, const std::string& line) {
  const OwnedFd fd = ConnectControl(path);
  if (fd.get() < 0 || !SendFromPeer(fd.get(), line)) return "<not sent>";
  return ReadExactly(fd.get(), 1 << 20);
}

// A relay with its server, its control socket at `control`.
class ControlledRelay {
 public:
  explicit ControlledRelay(std::vector<std::string> rules = {kAllowLoopbackRule}) {
    ok_ = server.Listen();
    config = LoopbackConfig(server.Port());
    config.ruleLines = std::move(rules);
    config.options = {"--control=" + control};
    ok_ = ok_ && relay.Start(config) &&
          relay.Process().WaitForStdout("listen socket created on port " + std::to_string(config.listenPort) + "\n",
                                        kCap) &&
          server.AcceptConnection(kCap) && relay.Process().WaitForStdout("server socket created to", kCap);
  }
  bool Ready() const { return ok_; }
  std::string Ask(const std::string& line) { return testing::Ask(control, line); }

  // Presses S and returns the table once its `rows` rows have landed.
  std::string KeyTable(size_t rows) {
    const size_t before = relay.Process().CountInStderr(" clients:\n");
    if (!relay.Process().WriteStdin("S") || !relay.Process().WaitForStderr(" clients:\n", kCap, before + 1)) {
      return "<no table>";
    }
    std::string table;
    WaitUntil([&] {
      const std::string err = relay.Process().Stderr();
      size_t at = 0;
      for (size_t i = 0; i <= before; ++i) at = err.find(" clients:\n", at) + 1;
      table = err.substr(err.rfind('\n', at) + 1);
      return static_cast<size_t>(std::count(table.begin(), table.end(), '\n')) >= 2 + rows;
    });
    return table;
  }

  FakeServer server;  // declared first: outlives the relay's connection to it
  RelayConfig config;
  RelayHarness relay;
  std::string control = relay.Dir().Path() + "/control";

 private:
  bool ok_ = false;
};

constexpr const char* kNoUnixSockets = "the Windows relay has no Unix control socket";

// The answer without its clock fields, which move between two askings.
std::string Steady(const std::string& answer) {
  return std::regex_replace(answer, std::regex(R"x("(seconds|uptime)":\d+)x"), "\"$1\":_");
}

// A status answer read back; false when a line is not what status sends.
bool ReadStatus(const std::string& answer, RelayFacts& relay, std::vector<ClientFacts>& clients) {
  if (!answer.ends_with('\n')) return false;
  JsonObject object;
  size_t at = 0;
  for (size_t end = 0; (end = answer.find('\n', at)) != std::string::npos; at = end + 1) {
    if (!ParseJsonObject(answer.substr(at, end - at), object)) return false;
    if (at == 0 && !ReadRelayStatus(object, relay)) return false;
    if (at != 0 && !ReadClientStatus(object, clients.emplace_back())) return false;
  }
  return true;
}

std::string Dotted(uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
         std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255);
}

// What a row of the S table and a status line both say, e.g.
// "1 127.0.0.2 bytes 0 queued 0 inactive".
std::string RowOf(const ClientFacts& client) {
  return std::to_string(client.number) + " " + Dotted(client.address) + " bytes " + std::to_string(client.bytes) +
         " queued " + std::to_string(client.queued) + (client.active ? "" : " inactive");
}

std::vector<std::string> RowsOf(const std::vector<ClientFacts>& clients) {
  std::vector<std::string> rows;
  for (const ClientFacts& client : clients) rows.push_back(RowOf(client));
  return rows;
}

// The same from the S table: its count line, then one entry per row.
std::vector<std::string> RowsOfTable(const std::string& table) {
  const std::regex count(kStampRegex + R"((\d+) clients:)");
  const std::regex row(R"( *(\d+)\. +(\d+)\. *(\d+)\. *(\d+)\. *(\d+) +(\d+) +\d+:\d\d:\d\d +(\d+)(   \(inactive\))?)");
  std::vector<std::string> rows;
  std::smatch match;
  size_t at = 0;
  for (size_t end = 0; (end = table.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = table.substr(at, end - at);
    if (at == 0 && std::regex_match(line, match, count)) {
      rows.push_back(match[1].str() + " clients");
    } else if (std::regex_match(line, match, row)) {
      rows.push_back(match[1].str() + " " + match[2].str() + "." + match[3].str() + "." + match[4].str() + "." +
                     match[5].str() + " bytes " + match[6].str() + " queued " + match[7].str() +
                     (match[8].matched ? " inactive" : ""));
    } else if (line + "\n" != kStatusHeader) {
      rows.push_back("<not a row: " + line + ">");
    }
  }
  return rows;
}

TEST(ControlSocket, StatusLinesMatchTheKeysTableOfTheSameMoment) {
  if (RelayIsWindowsBuild()) GTEST_SKIP() << kNoUnixSockets;
  // The client from 127.0.0.2 is cut off after a second and held: an inactive row.
  ControlledRelay rig({"Y, 127.0.0.2, 255.255.255.255, N, 1, N", kAllowLoopbackRule});
  ASSERT_TRUE(rig.Ready());
  TestClient timed, reader, stalled;
  timed.SetEnds({.local = Ip(127, 0, 0, 2)});
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, timed, 0));
  ASSERT_TRUE(timed.WaitForClose(10s));
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, reader, 1));
  stalled.SetSmallWindow();
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, stalled, 2));
  constexpr size_t kSent = 100'000;
  ASSERT_TRUE(rig.server.Send(Pattern(kSent)));
  std::string got;
  ASSERT_TRUE(reader.ReadExactly(kSent, got, 10s));
  // Once the stalled client's window has shut, nothing moves.
  ASSERT_TRUE(WaitUntilQuiet([&] { return Steady(rig.Ask("status\n")); }, 500ms, 10s));

  const std::string table = rig.KeyTable(3);
  const std::string answer = rig.Ask("status\n");
  RelayFacts relay;
  std::vector<ClientFacts> clients;
  ASSERT_TRUE(ReadStatus(answer, relay, clients)) << answer;
  std::vector<std::string> expected = RowsOf(clients);
  expected.insert(expected.begin(), std::to_string(relay.clientCount) + " clients");
  EXPECT_EQ(RowsOfTable(table), expected) << table << answer;

  ASSERT_EQ(clients.size(), 3u);
  EXPECT_EQ(RowOf(clients[0]), "1 127.0.0.2 bytes 0 queued 0 inactive");
  EXPECT_EQ(RowOf(clients[1]), "2 127.0.0.1 bytes 100000 queued 0");
  // Every byte is sent or queued, but for the one block the worker has taken
  // to send and not finished, which is counted as sent once it is out.
  EXPECT_GT(clients[2].queued, 0);
  const uint64_t counted = clients[2].bytes + static_cast<uint64_t>(clients[2].queued);
  EXPECT_LE(counted, kSent);
  EXPECT_GE(counted, kSent - kBacklogBlockBytes);
  // What the table does not show.
  EXPECT_EQ(clients[0].passRx, false);
  EXPECT_EQ(clients[0].timeLimit, 1);
  EXPECT_EQ(clients[1].passRx, true);
  EXPECT_EQ(clients[1].timeLimit, 0);
  EXPECT_EQ(relay.serverHost, "127.0.0.1");
  EXPECT_EQ(relay.serverPort, rig.server.Port());
  EXPECT_TRUE(relay.serverConnected);
  EXPECT_EQ(relay.listenAddress, 0u);
  EXPECT_EQ(relay.listenPort, rig.config.listenPort);
  EXPECT_TRUE(relay.listening);
  EXPECT_EQ(relay.maxClients, 10);
}

TEST(ControlSocket, AStaleFileIsReplacedTheSocketIsMode0660AndGoneAtExit) {
  if (RelayIsWindowsBuild()) GTEST_SKIP() << kNoUnixSockets;
  RelayHarness relay;
  const std::string path = relay.Dir().Path() + "/control";
  {
    // A relay that died left its socket file behind.
    const OwnedFd old(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = AddressOf(path);
    ASSERT_EQ(::bind(old.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  RelayConfig config = LoopbackConfig(FindFreePort());
  config.options = {"--control=" + path};
  ASSERT_TRUE(relay.Start(config));
  ASSERT_TRUE(relay.Process().WaitForStdout("listen socket created on port ", kCap));
  struct stat file {};
  ASSERT_EQ(::lstat(path.c_str(), &file), 0);
  EXPECT_TRUE(S_ISSOCK(file.st_mode));
  EXPECT_EQ(file.st_mode & 07777, 0660u);
  EXPECT_TRUE(Ask(path, "status\n").starts_with("{\"server\":\"127.0.0.1\",")) << Ask(path, "status\n");
  EXPECT_EQ(Ask(path, "hello\n"), "error: unknown request 'hello' (status, metrics or cut N)\n");

  relay.Process().Signal(SIGTERM);
  int status = -1;
  ASSERT_TRUE(relay.Process().WaitForExit(5s, &status));
  EXPECT_EQ(status, 0);
  EXPECT_NE(::access(path.c_str(), F_OK), 0) << "the socket file outlived the relay";
  EXPECT_EQ(relay.Process().CountInStderr("control socket"), 0u) << relay.Process().Stderr();
}

TEST(ControlSocket, CutEndsTheClientWithItsDiscLineAndANumberNotInTheTableIsAnError) {
  if (RelayIsWindowsBuild()) GTEST_SKIP() << kNoUnixSockets;
  ControlledRelay rig;
  ASSERT_TRUE(rig.Ready());
  TestClient client;
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, client, 0));
  ASSERT_TRUE(rig.server.Send("abc"));
  std::string got;
  ASSERT_TRUE(client.ReadExactly(3, got, kCap));

  EXPECT_EQ(rig.Ask("cut 9\n"), "error: no client 9\n");
  EXPECT_EQ(rig.Ask("cut 1\n"), "ok\n");
  EXPECT_TRUE(client.WaitForClose(kCap));
  ASSERT_TRUE(rig.relay.Process().WaitForStdout("Disc: ", kCap));
  const std::regex disc("\n" + kStampRegex + R"(Disc: 127\.0\.0\.1\. 3 bytes in 0:00:0\d \(\d+ BPS\)\n)");
  EXPECT_TRUE(std::regex_search(rig.relay.Process().Stdout(), disc)) << rig.relay.Process().Stdout();
  EXPECT_EQ(rig.relay.Process().CountInStdout("Disc: "), 1u);
}

TEST(ControlSocket, ClientsThatSendNothingOrNeverReadHoldNeitherTheStreamNorAnotherRequest) {
  if (RelayIsWindowsBuild()) GTEST_SKIP() << kNoUnixSockets;
  ControlledRelay rig;
  ASSERT_TRUE(rig.Ready());
  TestClient reader;
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, reader, 0));
  const OwnedFd silent = ConnectControl(rig.control);
  const OwnedFd deaf = ConnectControl(rig.control);
  ASSERT_TRUE(silent.get() >= 0 && deaf.get() >= 0);
  ASSERT_TRUE(SendFromPeer(deaf.get(), "status\n"));

  // A pass is 10 ms: a second per piece is far more than the stream needs.
  for (size_t piece = 0; piece < 5; ++piece) {
    ASSERT_TRUE(rig.server.Send(Pattern(100, piece)));
    std::string got;
    ASSERT_TRUE(reader.ReadExactly(100, got, 1s)) << piece;
    EXPECT_EQ(got, Pattern(100, piece));
  }
  EXPECT_TRUE(rig.Ask("metrics\n").starts_with("# HELP veltor_clients ")) << rig.Ask("metrics\n");
  // All of that within the silent client's bound of two seconds: it still hangs.
  EXPECT_FALSE(Readable(silent.get(), 0ms));
  EXPECT_TRUE(WaitForEof(silent.get(), 10s));
}

ProgramRun RunCtl(const std::vector<std::string>& args) { return RunProgram(VELTOR_CTL_BINARY, args, 20s); }

// A table without its time stamp and durations, which move between two askings.
std::string WithoutTimes(const std::string& table) {
  return std::regex_replace(std::regex_replace(table, std::regex("^" + kStampRegex), ""),
                            std::regex(R"(\d+:\d\d:\d\d)"), "_:__:__");
}

TEST(ControlSocket, CtlShowsTheKeysTableTheRawLinesAndTheMetrics) {
  if (RelayIsWindowsBuild()) GTEST_SKIP() << kNoUnixSockets;
  ControlledRelay rig;
  ASSERT_TRUE(rig.Ready());
  TestClient client;
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, client, 0));
  ASSERT_TRUE(rig.server.Send(Pattern(1234)));
  std::string got;
  ASSERT_TRUE(client.ReadExactly(1234, got, kCap));
  // A worker counts its bytes just after the send that delivered them.
  ASSERT_TRUE(WaitUntil([&] { return rig.Ask("status\n").find("\"bytes\":1234,") != std::string::npos; }));

  const ProgramRun table = RunCtl({rig.control, "status"});
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(WithoutTimes(table.out), WithoutTimes(rig.KeyTable(1)));
  EXPECT_TRUE(std::regex_match(table.out, std::regex(kStampRegex + "1 clients:\n" + kStatusHeader +
                                                     R"(  1\.    127\.  0\.  0\.  1           1234       0:00:0\d           0\n)")))
      << table.out;

  const ProgramRun json = RunCtl({"--json", rig.control, "status"});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(Steady(json.out), Steady(rig.Ask("status\n")));

  const ProgramRun metrics = RunCtl({rig.control, "metrics"});
  EXPECT_EQ(metrics.status, 0) << metrics.err;
  for (const char* sample : {"\nveltor_clients 1\n", "\nveltor_server_connected 1\n",
                             "\nveltor_delivered_bytes_total 1234\n",
                             "\nveltor_admissions_total{verdict=\"accepted\"} 1\n"}) {
    EXPECT_NE(metrics.out.find(sample), std::string::npos) << sample << metrics.out;
  }
}

}  // namespace
}  // namespace veltor::testing
