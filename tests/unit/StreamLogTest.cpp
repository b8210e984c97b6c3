// The stream log on a real disk: exact bytes, rotation without gap or
// overlap, reopening after logrotate, a full disk and a stalled one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "base/LogWriter.h"
#include "clients/StreamLog.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/TempDir.h"

namespace veltor {
namespace {

using namespace std::chrono_literals;
using testing::CapturedOutput;
using testing::IsLogLine;
using testing::TempDir;

void Append(StreamLog& log, const std::string& text) {
  log.Append(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::string Contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string Stream(size_t length) {
  std::string stream;
  for (size_t i = 0; i < length; ++i) stream.push_back(static_cast<char>((i * 31 + i / 256) % 256));
  return stream;
}

template <class Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A FIFO stands in for a disk that has stalled: opening it for writing waits
// until a reader comes, and the reader stays until the end.
class StalledPath {
 public:
  StalledPath() { ::mkfifo(path.c_str(), 0600); }
  ~StalledPath() {
    if (reader_ >= 0) ::close(reader_);
  }
  // Reads `length` bytes, which lets the writer go on.
  std::string Drain(size_t length) {
    if (reader_ < 0) reader_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    std::string read;
    char buffer[256];
    WaitUntil([&] {
      const ssize_t got = ::read(reader_, buffer, sizeof buffer);
      if (got > 0) read.append(buffer, static_cast<size_t>(got));
      return read.size() >= length;
    });
    return read;
  }

  TempDir dir;
  const std::string path = dir.Path() + "/stalled";

 private:
  int reader_ = -1;
};

// Standard error sent to a file for as long as this lives, so a test can
// wait for a line the writer thread prints.
class StderrInFile {
 public:
  explicit StderrInFile(std::string path) : path_(std::move(path)), saved_(::dup(STDERR_FILENO)) {
    FlushLogMessages(kFlushWaitMs);
    std::fflush(stderr);
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~StderrInFile() {
    FlushLogMessages(kFlushWaitMs);
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  std::string Text() const {
    FlushLogMessages(kFlushWaitMs);
    return Contents(path_);
  }

 private:
  static constexpr int kFlushWaitMs = 5000;
  std::string path_;
  int saved_;
};

TEST(StreamLog, AppendsExactlyTheBytesAfterWhatThePathHeld) {
  TempDir dir;
  const std::string held = dir.WriteFile("console.log", "held|");
  const std::string fresh = dir.Path() + "/fresh.log";
  const std::string stream = Stream(5000);
  {
    StreamLog log(held, 0, 5);
    StreamLog freshLog(fresh, 0, 5);
    ASSERT_TRUE(log.Start() && freshLog.Start());
    for (size_t at = 0; at < stream.size(); at += 1000) Append(log, stream.substr(at, 1000));
    Append(freshLog, "x");
  }
  EXPECT_EQ(Contents(held), "held|" + stream);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  struct stat status {};
  ASSERT_EQ(::stat(fresh.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640 & ~mask);
}

TEST(StreamLog, RotationKeepsAtMostKeepOldFilesThatJoinWithoutGapOrOverlap) {
  TempDir dir;
  const std::string path = dir.WriteFile("console.log", std::string(60, '#'));  // its size counts
  const std::string stream = Stream(1050);
  {
    StreamLog log(path, 100, 3);
    ASSERT_TRUE(log.Start());
    for (size_t at = 0, piece = 1; at < stream.size(); at += piece, piece = piece % 97 + 7) {
      Append(log, stream.substr(at, piece));
    }
  }
  const std::string written = std::string(60, '#') + stream;  // 1110 bytes: ten full files and 10
  EXPECT_FALSE(std::filesystem::exists(path + ".4"));
  for (const char* old : {".1", ".2", ".3"}) EXPECT_EQ(Contents(path + old).size(), 100u) << old;
  EXPECT_EQ(Contents(path + ".3") + Contents(path + ".2") + Contents(path + ".1") + Contents(path),
            written.substr(written.size() - 310));
}

TEST(StreamLog, KeepingNoneStartsThePathAfresh) {
  TempDir dir;
  const std::string path = dir.Path() + "/console.log";
  const std::string stream = Stream(250);
  {
    StreamLog log(path, 100, 0);
    ASSERT_TRUE(log.Start());
    Append(log, stream);
  }
  EXPECT_FALSE(std::filesystem::exists(path + ".1"));
  EXPECT_EQ(Contents(path), stream.substr(200));
}

TEST(StreamLog, ARotationThatFailsIsWarnedOnceAndTheStreamGoesOnPastTheBound) {
  TempDir dir;
  const std::string path = dir.Path() + "/console.log";
  std::filesystem::create_directory(path + ".1");
  const std::string stream = Stream(250);
  CapturedOutput output;
  {
    StreamLog log(path, 100, 1);
    ASSERT_TRUE(log.Start());
    for (size_t at = 0; at < stream.size(); at += 50) Append(log, stream.substr(at, 50));
  }
  EXPECT_EQ(Contents(path), stream);
  EXPECT_TRUE(IsLogLine(output.Err(), "stream log " + path + ": cannot rotate: Is a directory"));
}

TEST(StreamLog, APathThatCannotBeOpenedIsWarnedOnceAndTriedAgainLater) {
  TempDir dir;
  const std::string directory = dir.Path() + "/later";
  const std::string path = directory + "/console.log";
  StderrInFile err(dir.Path() + "/stderr");
  {
    StreamLog log(path, 0, 5);
    ASSERT_TRUE(log.Start());
    Append(log, "kept");
    ASSERT_TRUE(WaitUntil([&] { return err.Text().find("No such file or directory") != std::string::npos; }));
    std::filesystem::create_directory(directory);
    EXPECT_TRUE(WaitUntil([&] { return Contents(path) == "kept"; }));
  }
  const std::string text = err.Text();
  const size_t split = text.find('\n') + 1;
  EXPECT_TRUE(IsLogLine(text.substr(0, split), "stream log " + path + ": No such file or directory"));
  EXPECT_TRUE(IsLogLine(text.substr(split), "stream log " + path + ": writing again"));
}

TEST(StreamLog, AReopenAfterARenameStartsANewPath) {
  TempDir dir;
  const std::string path = dir.Path() + "/console.log";
  {
    StreamLog log(path, 0, 5);
    ASSERT_TRUE(log.Start());
    Append(log, "before");
    ASSERT_TRUE(WaitUntil([&] { return Contents(path) == "before"; }));
    std::filesystem::rename(path, path + ".moved");
    log.RequestReopen();
    Append(log, "after");
  }
  EXPECT_EQ(Contents(path + ".moved"), "before");
  EXPECT_EQ(Contents(path), "after");
}

TEST(StreamLog, AFullDiskWarnsOnceNamingThePathAndAppendNeverWaits) {
  CapturedOutput output;
  std::chrono::steady_clock::duration appending{};
  {
    StreamLog log("/dev/full", 0, 5, 64 * 1024);
    ASSERT_TRUE(log.Start());
    const std::string chunk(1000, 'x');
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 200; ++i) Append(log, chunk);
    appending = std::chrono::steady_clock::now() - start;
  }  // the exit tries the disk once more, quietly
  EXPECT_LT(appending, 1s);
  const std::string err = output.Err();
  size_t warnings = 0;
  for (size_t at = err.find("stream log /dev/full: No space left on device\n"); at != std::string::npos;
       at = err.find("stream log /dev/full: No space left on device\n", at + 1)) {
    ++warnings;
  }
  EXPECT_EQ(warnings, 1u) << err;
  EXPECT_NE(err.find(": stream log /dev/full: 65536 bytes not written at exit\n"), std::string::npos) << err;
}

TEST(StreamLog, DropsBeyondTheBoundAreCountedAndReportedWhenTheyStartAndEnd) {
  StalledPath stalled;
  CapturedOutput output;
  std::string delivered;
  {
    StreamLog log(stalled.path, 0, 5, 16);
    ASSERT_TRUE(log.Start());
    Append(log, "0123456789");
    Append(log, "abcdefghij");  // 6 of 10 fit
    Append(log, "ABCDEFGHIJ");
    EXPECT_EQ(log.DroppedBytes(), 14u);
    delivered = stalled.Drain(16);
    ASSERT_TRUE(WaitUntil([&] { return log.BufferedBytes() == 0; }));
    Append(log, "!");
    delivered += stalled.Drain(1);
  }
  EXPECT_EQ(delivered, "0123456789abcdef!");
  const std::string err = output.Err();
  const size_t split = err.find('\n') + 1;
  EXPECT_TRUE(IsLogLine(err.substr(0, split), "stream log " + stalled.path + ": buffer full, 4 bytes dropped"));
  EXPECT_TRUE(IsLogLine(err.substr(split),
                        "stream log " + stalled.path + ": buffer has room again, 14 bytes dropped in all"));
}

TEST(StreamLog, AStalledDiskHoldsTheExitNoLongerThanItsBound) {
  StalledPath stalled;
  CapturedOutput output;
  std::chrono::steady_clock::duration closing{};
  {
    auto log = std::make_unique<StreamLog>(stalled.path, 0, 5);
    ASSERT_TRUE(log->Start());
    Append(*log, "x");
    const auto start = std::chrono::steady_clock::now();
    log.reset();
    closing = std::chrono::steady_clock::now() - start;
  }
  EXPECT_GE(closing, 1500ms);
  EXPECT_LT(closing, 4s);
  EXPECT_TRUE(IsLogLine(output.Err(), "stream log " + stalled.path + ": 1 bytes not written at exit"));
  EXPECT_EQ(stalled.Drain(1), "x");  // the writer left behind finishes once the disk moves
}

}  // namespace
}  // namespace veltor
