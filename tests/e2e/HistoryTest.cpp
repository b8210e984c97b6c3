// The stream's history, from end to end: what a late joiner is replayed
// (--replay) and what is kept on disk (--stream-log with its rotation and
// reopen), each checked byte for byte against what the server sent.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <thread>

#include "tests/support/Deadline.h"
#include "tests/support/FakeServer.h"
#include "tests/support/Frames.h"
#include "tests/support/Patterns.h"
#include "tests/support/RelayHarness.h"

namespace veltor::testing {
namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kMods{"Console of rack 4", "history follows"};

// The first `bytes` of the server's stream: numbered records "0000000\n",
// "0000001\n" ..., so every byte's place shows and no gap or overlap hides.
std::string Stream(size_t bytes) {
  std::string stream;
  char record[16];
  for (size_t n = 0; stream.size() < bytes; ++n) {
    std::snprintf(record, sizeof record, "%07zu\n", n);
    stream += record;
  }
  stream.resize(bytes);
  return stream;
}

// The file's bytes; none when it cannot be opened.
std::optional<std::string> FileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), {});
}

bool Exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

int64_t FileSize(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? -1 : static_cast<int64_t>(size);
}

// The Queued column of client `number` in the last status table on standard error; -1 when absent.
int64_t QueuedInLastTable(const std::string& err, int number) {
  const size_t table = err.rfind(" clients:\n");
  if (table == std::string::npos) return -1;
  const std::regex row("\n *" + std::to_string(number) + R"(\. .* (\d+)(   \(inactive\))?\n)");
  std::smatch match;
  const std::string rest = err.substr(table);
  if (!std::regex_search(rest, match, row)) return -1;
  return std::stoll(match[1].str());
}

// ---------------------------------------------------------------------------
// --replay

TEST(RelayReplay, ALateJoinerGetsItsGreetingThenTheLast4KThenLiveDataWithoutGapOrOverlap) {
  RelayWithServer rig({kAllowLoopbackRule}, 10, kMods, {"--replay=4K"});
  ASSERT_TRUE(rig.Ready());
  const std::string stream = Stream(13'000);
  TestClient early, late;
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, early, 0));
  ASSERT_EQ(ReadGreeting(early, 2), kMods);
  ASSERT_TRUE(rig.server.Send(stream.substr(0, 10'000)));
  std::string got;
  ASSERT_TRUE(early.ReadExactly(10'000, got, 20s));  // the relay has handed on all of it

  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, late, 1));
  EXPECT_EQ(ReadGreeting(late, 2), kMods);
  ASSERT_TRUE(late.ReadExactly(4096, got, 5s));
  EXPECT_EQ(got, stream.substr(10'000 - 4096, 4096));
  ASSERT_TRUE(rig.server.Send(stream.substr(10'000)));
  ASSERT_TRUE(late.ReadExactly(3000, got, 10s));
  EXPECT_EQ(got, stream.substr(10'000));
}

TEST(RelayReplay, AJoinerDuringAServerOutageGetsTheHistoryAtOnce) {
  RelayWithServer rig({kAllowLoopbackRule}, 10, {kMods[0]}, {"--replay=4K"});
  ASSERT_TRUE(rig.Ready());
  const std::string stream = Stream(6000);
  ASSERT_TRUE(rig.server.Send(stream));  // to nobody: no client is connected yet
  rig.server.CloseConnection();
  rig.server.CloseListener();
  // Logged once the relay has handed on everything the server sent.
  ASSERT_TRUE(rig.relay.Process().WaitForStdout("server socket disconnected\n", 10s));

  TestClient client;
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, client, 0));
  EXPECT_EQ(ReadGreeting(client, 1), std::vector<std::string>{kMods[0]});
  std::string got;
  ASSERT_TRUE(client.ReadExactly(4096, got, 5s));
  EXPECT_EQ(got, stream.substr(6000 - 4096));

  // The history counts as delivered.
  client.Close();
  EXPECT_TRUE(rig.relay.Process().WaitForStdout("Disc: 127.0.0.1. 4096 bytes in ", 5s)) << rig.relay.Process().Stdout();
}

TEST(RelayReplay, AJoinerThatNeverReadsItsHistoryHoldsNoOne) {
  RelayWithServer rig({kAllowLoopbackRule}, 10, {}, {"--replay=256K"});
  ASSERT_TRUE(rig.Ready());
  // More than the history holds, so the ring has wrapped.
  const std::string stream = Stream(300'000 + 10 * 1000);
  TestClient reader, stalled;
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, reader, 0));
  std::string got;
  ASSERT_TRUE(rig.server.Send(stream.substr(0, 300'000), 30s));
  ASSERT_TRUE(reader.ReadExactly(300'000, got, 30s));

  stalled.SetSmallWindow();
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, stalled, 1));
  // Live data, a piece at a time: each reaches the reader within about a second.
  for (size_t at = 300'000; at < stream.size(); at += 1000) {
    ASSERT_TRUE(rig.server.Send(stream.substr(at, 1000)));
    ASSERT_TRUE(reader.ReadExactly(1000, got, 2s)) << "piece at " << at;
    EXPECT_EQ(got, stream.substr(at, 1000));
  }
  // Most of the history still waits for the stalled client, which stays connected.
  ASSERT_TRUE(rig.relay.Process().WriteStdin("S"));
  int64_t queued = -1;
  ASSERT_TRUE(WaitUntil([&] { return (queued = QueuedInLastTable(rig.relay.Process().Stderr(), 2)) >= 0; }));
  EXPECT_GT(queued, 128 * 1024) << rig.relay.Process().Stderr();
  EXPECT_EQ(rig.relay.Process().CountInStdout("Disc: "), 0u);
}

// ---------------------------------------------------------------------------
// --stream-log

struct StreamLogRig {
  explicit StreamLogRig(std::vector<std::string> options = {}, std::vector<std::string> mods = {}) {
    options.insert(options.begin(), "--stream-log=" + path);
    rig = std::make_unique<RelayWithServer>(std::vector<std::string>{kAllowLoopbackRule}, 10, std::move(mods), options);
  }
  TempDir logs;  // outlives the relay
  const std::string path = logs.Path() + "/console.log";
  std::unique_ptr<RelayWithServer> rig;
};

TEST(RelayStreamLog, TheFileEqualsAReadersStreamAfterItsGreeting) {
  StreamLogRig log({}, {kMods[0]});
  ASSERT_TRUE(log.rig->Ready());
  RelayWithServer& rig = *log.rig;
  TestClient reader;
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, reader, 0));
  ASSERT_EQ(ReadGreeting(reader, 1), std::vector<std::string>{kMods[0]});
  const std::string stream = Stream(50'000);
  for (size_t at = 0, piece = 1; at < stream.size(); at += piece, piece = piece * 3 % 2999 + 1) {
    ASSERT_TRUE(rig.server.Send(stream.substr(at, piece)));
  }
  std::string got;
  ASSERT_TRUE(reader.ReadExactly(stream.size(), got, 20s));
  ASSERT_TRUE(got == stream);

  int status = -1;
  ASSERT_TRUE(rig.relay.Quit(&status));  // the relay waits for its log's writer
  EXPECT_EQ(status, 0);
  const std::optional<std::string> file = FileBytes(log.path);
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->size(), got.size());
  EXPECT_TRUE(*file == got);
  if (!RelayIsWindowsBuild()) {
    struct stat info {};
    ASSERT_EQ(::stat(log.path.c_str(), &info), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(info.st_mode & 0777, 0640 & ~mask);
  }
}

TEST(RelayStreamLog, RotationDuringAFloodKeepsThreeOldFilesThatJoinIntoTheStreamsEnd) {
  constexpr size_t kRotateBytes = 64 * 1024;
  StreamLogRig log({"--stream-log-size=64K", "--stream-log-keep=3"});
  ASSERT_TRUE(log.rig->Ready());
  RelayWithServer& rig = *log.rig;
  TestClient reader;
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, reader, 0));
  const std::string stream = Stream(1'000'000);
  // The relay hands on about 100 kB a second: the flood takes some ten seconds.
  bool sent = false;
  std::thread flood([&] { sent = rig.server.Send(stream, 60s); });
  std::string got;
  bool fourth = false;  // a PATH.4 seen at any moment
  const Deadline deadline(60s);
  while (got.size() < stream.size() && !deadline.Expired()) {
    got += reader.ReadFor(20ms);
    fourth = fourth || Exists(log.path + ".4");
  }
  flood.join();
  ASSERT_TRUE(sent);
  ASSERT_EQ(got.size(), stream.size());
  EXPECT_TRUE(got == stream);
  EXPECT_FALSE(fourth);

  int status = -1;
  ASSERT_TRUE(rig.relay.Quit(&status));
  EXPECT_EQ(status, 0);
  // Each old file was cut at the bound; 1,000,000 bytes are 15 whole files and a part.
  const std::pair<const char*, size_t> files[] = {
      {".3", kRotateBytes}, {".2", kRotateBytes}, {".1", kRotateBytes}, {"", stream.size() % kRotateBytes}};
  std::string joined;
  for (const auto& [suffix, size] : files) {
    const std::optional<std::string> file = FileBytes(log.path + suffix);
    ASSERT_TRUE(file.has_value()) << suffix;
    EXPECT_EQ(file->size(), size) << suffix;
    joined += *file;
  }
  EXPECT_FALSE(Exists(log.path + ".4"));
  EXPECT_TRUE(joined == stream.substr(stream.size() - joined.size()));
}

TEST(RelayStreamLog, TheReopenSignalAfterARenameStartsANewFile) {
  if (RelayIsWindowsBuild()) GTEST_SKIP() << "Windows has no SIGUSR2";
  StreamLogRig log;
  ASSERT_TRUE(log.rig->Ready());
  RelayWithServer& rig = *log.rig;
  TestClient reader;
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, reader, 0));
  const std::string stream = Stream(20'000);
  std::string got;
  ASSERT_TRUE(rig.server.Send(stream.substr(0, 12'000)));
  ASSERT_TRUE(reader.ReadExactly(12'000, got, 10s));
  ASSERT_TRUE(WaitUntil([&] { return FileSize(log.path) == 12'000; }));

  // As logrotate does: move the file away, then signal.
  std::filesystem::rename(log.path, log.path + ".old");
  rig.relay.Process().Signal(SIGUSR2);
  ASSERT_TRUE(WaitUntil([&] { return Exists(log.path); }));
  ASSERT_TRUE(rig.server.Send(stream.substr(12'000)));
  ASSERT_TRUE(reader.ReadExactly(8000, got, 10s));

  ASSERT_TRUE(rig.relay.Quit(nullptr));
  EXPECT_EQ(FileBytes(log.path + ".old"), stream.substr(0, 12'000));
  EXPECT_EQ(FileBytes(log.path), stream.substr(12'000));
}

TEST(RelayStreamLog, AFullDiskIsWarnedOnceAndTheClientsLoseNothing) {
  if (RelayIsWindowsBuild()) GTEST_SKIP() << "Windows has no /dev/full";
  RelayWithServer rig({kAllowLoopbackRule}, 10, {}, {"--stream-log=/dev/full"});
  ASSERT_TRUE(rig.Ready());
  TestClient reader;
  ASSERT_TRUE(ConnectAdmittedClient(rig.relay, reader, 0));
  // Some three seconds of data at the relay's pace: the log is tried again meanwhile.
  const std::string stream = Stream(300'000);
  std::string got;
  std::thread writer([&] { rig.server.Send(stream, 30s); });
  const bool received = reader.ReadExactly(stream.size(), got, 30s);
  writer.join();
  ASSERT_TRUE(received);
  EXPECT_TRUE(got == stream);

  const std::string err = rig.relay.Process().Stderr();
  EXPECT_EQ(rig.relay.Process().CountInStderr("/dev/full"), 1u) << err;
  const std::regex warning("\n" + kStampRegex + "stream log /dev/full: No space left on device\n");
  EXPECT_TRUE(std::regex_search(err, warning)) << err;
}

}  // namespace
}  // namespace veltor::testing
