// How long the relay waits for a server that takes nothing: the bound counts
// from the start of the block it cannot hand over, whatever came before.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "base/Constants.h"
#include "net/ServerStream.h"
#include "tests/support/FakeClock.h"
#include "tests/support/Patterns.h"
#include "tests/support/SocketPair.h"

namespace veltor {
namespace {

using namespace std::chrono_literals;
using namespace testing;

std::unique_ptr<DataChunk> Chunk(const std::string& bytes) {
  auto chunk = std::make_unique<DataChunk>();
  chunk->bytes.assign(bytes.begin(), bytes.end());
  return chunk;
}

// Fills the socket's way to its peer until it takes nothing more, even after
// a moment for the peer's kernel to catch up; returns what went in.
std::string FillUntilShut(int fd) {
  const std::string block = Pattern(4096, 2);
  std::string sent;
  for (int quiet = 0; quiet < 3;) {
    const size_t n = SendSome(fd, reinterpret_cast<const uint8_t*>(block.data()), block.size());
    sent.append(block, 0, n);
    if (n == 0) {
      ++quiet;
      std::this_thread::sleep_for(20ms);
    } else {
      quiet = 0;
    }
  }
  return sent;
}

TEST(ServerStall, AWindowShutForAMomentAfterALongQuietSpellDoesNotDropTheServer) {
  // Catches a stall bound counted from the last forward instead of from the start of the block.
  FakeClock clock;
  ScopedClock scoped{clock};
  LoopbackPair pair = MakePair({.relaySend = 4096});
  ASSERT_NE(pair.relay, nullptr);
  const int relayFd = pair.relay->Handle();
  ServerStream server(std::move(pair.relay));
  ASSERT_TRUE(server.Start());

  const std::string earlier = Pattern(kChunkMaxBytes, 1);
  server.Forward(Chunk(earlier));
  ASSERT_TRUE(server.CanForward());
  // Bytes already on their way shut the server's window, and nothing is
  // forwarded for longer than the bound.
  const std::string onTheWay = FillUntilShut(relayFd);
  clock.AdvanceTick(kServerSendStallMs + 1000);

  const std::string late = Pattern(kChunkMaxBytes, 3);
  server.Forward(Chunk(late));
  ASSERT_FALSE(server.CanForward());  // the block waits: the window is shut
  clock.AdvanceTick(kServerSendStallMs - 1000);
  server.ContinueForward();
  EXPECT_TRUE(server.Writable());

  // The server reads again and gets every byte, in order.
  const std::string expected = earlier + onTheWay + late;
  std::string got = ReadExactly(pair.peer.get(), earlier.size() + onTheWay.size());
  ASSERT_TRUE(WaitUntil([&] {
    server.ContinueForward();
    return server.CanForward() || !server.Writable();
  }));
  got += ReadExactly(pair.peer.get(), late.size());
  EXPECT_TRUE(got == expected) << got.size() << " of " << expected.size();
}

}  // namespace
}  // namespace veltor
