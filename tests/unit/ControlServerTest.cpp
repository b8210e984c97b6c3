// The control socket on real Unix sockets: one request, one answer, then the
// end; the bounds that keep a silent or a non-reading client from holding
// anyone; what it finds at its path and leaves there.
#include "relay/ControlServer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/ControlRig.h"
#include "tests/support/Loopback.h"
#include "tests/support/TempDir.h"

namespace veltor {
namespace {

using namespace std::chrono_literals;
using testing::OwnedFd;
using Clock = std::chrono::steady_clock;

// Far more than a Unix socket's buffers hold.
constexpr size_t kLargeAnswerBytes = 4 * 1024 * 1024;

std::string Answer(const std::string& request) {
  return request == "large" ? std::string(kLargeAnswerBytes, 'x') : "[" + request + "]\n";
}

sockaddr_un AddressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

OwnedFd Connect(const std::string& path) {
  OwnedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = AddressOf(path);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return OwnedFd();
  return fd;
}

// A Unix socket shows its peer's close at once, however much is left unread.
bool PeerClosed(int fd) {
  pollfd entry{fd, 0, 0};
  return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLHUP) != 0;
}

// Everything up to the relay's close.
std::string ReadToEnd(int fd) { return testing::ReadExactly(fd, 64 * 1024 * 1024, testing::kCap); }

// Sends `request` on a new connection and reads the answer to the close.
std::string Exchange(const std::string& path, const std::string& request) {
  OwnedFd client = Connect(path);
  if (client.get() < 0 || !testing::SendFromPeer(client.get(), request)) return "(not sent)";
  return ReadToEnd(client.get());
}

constexpr ControlLimits kShortLimits{.requestMs = 500, .answerMs = 500};

TEST(ControlServer, OneRequestLineGetsTheHandlersAnswerThenTheConnectionEnds) {
  testing::ControlRig rig(Answer);
  ASSERT_TRUE(rig.Start()) << rig.Error();
  EXPECT_EQ(Exchange(rig.Path(), "status\n"), "[status]\n");
  EXPECT_EQ(Exchange(rig.Path(), "cut 2\r\nignored\n"), "[cut 2]\n");
  EXPECT_EQ(Exchange(rig.Path(), std::string(300, 'a')), "error: request longer than 256 bytes\n");

  // A client that ends its side instead of the line still has its answer.
  OwnedFd client = Connect(rig.Path());
  ASSERT_TRUE(testing::SendFromPeer(client.get(), "metrics"));
  ::shutdown(client.get(), SHUT_WR);
  EXPECT_EQ(ReadToEnd(client.get()), "[metrics]\n");
}

TEST(ControlServer, ASilentClientIsDroppedAfterItsBoundWhileAnotherIsServed) {
  testing::ControlRig rig(Answer, {.requestMs = 1000, .answerMs = 1000});
  ASSERT_TRUE(rig.Start()) << rig.Error();
  const auto start = Clock::now();
  OwnedFd silent = Connect(rig.Path());
  ASSERT_GE(silent.get(), 0);

  EXPECT_EQ(Exchange(rig.Path(), "status\n"), "[status]\n");
  EXPECT_FALSE(testing::Readable(silent.get(), 0ms));
  EXPECT_TRUE(testing::WaitForEof(silent.get()));
  EXPECT_GE(Clock::now() - start, 900ms);
}

TEST(ControlServer, AClientThatNeverReadsALargeAnswerHoldsNoOther) {
  testing::ControlRig rig(Answer, {.requestMs = 500, .answerMs = 1000});
  ASSERT_TRUE(rig.Start()) << rig.Error();
  OwnedFd stalled = Connect(rig.Path());
  ASSERT_TRUE(testing::SendFromPeer(stalled.get(), "large\n"));
  ASSERT_TRUE(testing::WaitUntil([&] { return testing::Pending(stalled.get()) > 0; }));

  EXPECT_EQ(Exchange(rig.Path(), "status\n"), "[status]\n");
  // Dropped at its bound without reading a byte: a part of the answer, then the end.
  EXPECT_TRUE(testing::WaitUntil([&] { return PeerClosed(stalled.get()); }));
  EXPECT_LT(ReadToEnd(stalled.get()).size(), kLargeAnswerBytes);
}

TEST(ControlServer, AtMostFourAtOnceTheFifthWaitsForASlot) {
  testing::ControlRig rig(Answer, kShortLimits);
  ASSERT_TRUE(rig.Start()) << rig.Error();
  const auto start = Clock::now();
  OwnedFd silent[kControlClientsMax];
  // Connected in this order, so the four are accepted before the fifth.
  for (OwnedFd& client : silent) client = Connect(rig.Path());

  EXPECT_EQ(Exchange(rig.Path(), "status\n"), "[status]\n");
  EXPECT_GE(Clock::now() - start, 400ms);
}

TEST(ControlServer, ListensWithMode0660WhateverTheUmask) {
  testing::ControlRig rig(Answer);
  const mode_t saved = ::umask(0077);
  const bool started = rig.Start();
  ::umask(saved);
  ASSERT_TRUE(started) << rig.Error();
  struct stat file {};
  ASSERT_EQ(::lstat(rig.Path().c_str(), &file), 0);
  EXPECT_TRUE(S_ISSOCK(file.st_mode));
  EXPECT_EQ(file.st_mode & 07777, 0660u);
}

TEST(ControlServer, AStaleSocketIsReplacedALiveOneAndARegularFileAreNot) {
  testing::TempDir dir;
  const std::string path = dir.Path() + "/control";
  {
    // A relay that died left its socket file behind.
    OwnedFd old(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = AddressOf(path);
    ASSERT_EQ(::bind(old.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  WakeSignal wake;
  std::string error;
  {
    ControlServer live(&wake);
    ASSERT_TRUE(live.Start(path, error)) << error;
    ControlServer second(&wake);
    EXPECT_FALSE(second.Start(path, error));
    EXPECT_EQ(error, path + ": another process listens on this socket");
  }
  EXPECT_NE(::access(path.c_str(), F_OK), 0) << "the socket file outlived its server";

  const std::string file = dir.WriteFile("control", "precious\n");
  ControlServer server(&wake);
  EXPECT_FALSE(server.Start(file, error));
  EXPECT_EQ(error, file + ": exists and is not a socket; not replaced");
  std::ifstream kept(file);
  std::string line;
  EXPECT_TRUE(std::getline(kept, line) && line == "precious");
}

}  // namespace
}  // namespace veltor
