// The downstream queue with both of its senders against a real loopback
// connection whose buffers are small: the main thread's direct send and the
// worker's send take turns, and the client must get every byte once, in order.
#include "clients/DownstreamQueue.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/support/Deadline.h"
#include "tests/support/Patterns.h"
#include "tests/support/SocketPair.h"

namespace veltor {
namespace {

using namespace testing;

// Small buffers on both sides, so a direct send often takes only part of a block.
constexpr BufferSizes kSmallBuffers{4096, 4096};

struct QueueRig {
  explicit QueueRig(int64_t capBytes = kDownstreamMaxBytes, BufferSizes sizes = kSmallBuffers)
      : pair(MakePair(sizes)), budget(capBytes), queue(pair.relay.get(), queuedBytes, bytesSent, budget) {}
  DownstreamQueue::DeliverResult Deliver(const std::string& block) {
    return queue.Deliver(reinterpret_cast<const uint8_t*>(block.data()), block.size());
  }
  LoopbackPair pair;
  std::atomic<int64_t> queuedBytes{0};
  std::atomic<uint64_t> bytesSent{0};
  BacklogBudget budget;
  DownstreamQueue queue;
};

// The client's side, reading everything as it comes and counting it.
class DrainingReader {
 public:
  explicit DrainingReader(int fd)
      : thread_([this, fd] {
          char buffer[16384];
          while (!stop_.load()) {
            if (!Readable(fd, std::chrono::milliseconds(10))) continue;
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got > 0) received_ += static_cast<size_t>(got);
          }
        }) {}
  ~DrainingReader() {
    stop_ = true;
    thread_.join();
  }
  size_t Received() const { return received_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<size_t> received_{0};
  std::thread thread_;
};

TEST(DownstreamQueue, WhatADirectSendLeavesIsQueuedAndEverythingLaterWaitsBehindIt) {
  QueueRig rig;
  ASSERT_TRUE(rig.pair.relay);
  rig.queue.MarkGreeted();
  const std::string first = Pattern(256 * 1024, 1);
  const auto direct = rig.Deliver(first);
  ASSERT_EQ(direct.delivery, DownstreamQueue::Delivery::Queued);
  ASSERT_GT(direct.sentBytes, 0u);
  EXPECT_EQ(rig.queuedBytes.load(), static_cast<int64_t>(first.size() - direct.sentBytes)) << "queued more than was left";
  ASSERT_TRUE(ReadExactly(rig.pair.peer.get(), direct.sentBytes) == first.substr(0, direct.sentBytes));

  // The socket has room again, but the rest of the first block is still queued.
  const std::string second = "and then this";
  const auto later = rig.Deliver(second);
  EXPECT_EQ(later.delivery, DownstreamQueue::Delivery::Queued);
  EXPECT_EQ(later.sentBytes, 0u) << "a direct send overtook queued bytes";

  std::thread worker([&] {
    size_t sent = 0;
    while (rig.queue.SendNext({}, sent) == DownstreamQueue::Sending::Sent) {
    }
  });
  const std::string expected = first.substr(direct.sentBytes) + second;
  const std::string got = ReadExactly(rig.pair.peer.get(), expected.size());
  worker.join();
  EXPECT_TRUE(got == expected) << "bytes lost, doubled or out of order";
  EXPECT_EQ(rig.queuedBytes.load(), 0);
  EXPECT_EQ(rig.budget.TotalBytes(), 0);
}

TEST(DownstreamQueue, NothingGoesDirectlyBeforeTheGreetingIsOut) {
  QueueRig rig;
  ASSERT_TRUE(rig.pair.relay);
  rig.Deliver("server data");
  EXPECT_EQ(Pending(rig.pair.peer.get()), 0);
  EXPECT_EQ(rig.queuedBytes.load(), 11);
}

TEST(DownstreamQueue, ABlockPastTheCapIsRefusedWhole) {
  QueueRig rig(10000);
  ASSERT_TRUE(rig.pair.relay);
  const std::string block = Pattern(6000);
  EXPECT_EQ(rig.Deliver(block).delivery,
            DownstreamQueue::Delivery::Queued);
  EXPECT_EQ(rig.Deliver(block).delivery,
            DownstreamQueue::Delivery::OverCap);
  EXPECT_EQ(rig.queuedBytes.load(), 6000);
}

TEST(DownstreamQueue, CloseWaitsForADirectSendAndNoneStartsAfterIt) {
  QueueRig rig(kDownstreamMaxBytes, {});
  ASSERT_TRUE(rig.pair.relay);
  rig.queue.MarkGreeted();
  DrainingReader reader(rig.pair.peer.get());  // keeps the socket empty: every block goes directly
  std::atomic<bool> closed{false};
  std::thread worker([&] {
    if (!WaitUntil([&] { return reader.Received() >= 1000; })) ADD_FAILURE() << "nothing went directly";
    rig.queue.Close();
    // Were a send still going on or to start, it would fail on the shut socket.
    ::shutdown(rig.pair.relay->Handle(), SHUT_WR);
    closed = true;
  });
  const std::string block = Pattern(100);
  bool sentAfterClose = false;
  for (int triesAfterClose = 0; triesAfterClose < 1000;) {
    const bool closedBefore = closed.load();
    if (rig.Deliver(block).delivery != DownstreamQueue::Delivery::Queued && closedBefore) sentAfterClose = true;
    if (closedBefore) ++triesAfterClose;
  }
  worker.join();
  EXPECT_FALSE(sentAfterClose);
}

TEST(DownstreamQueue, ATinyBlockBacklogCostsAboutItsBytes) {
  // A client that reads nothing on a slow console: 10-byte blocks, one a pass.
  QueueRig rig;
  ASSERT_TRUE(rig.pair.relay);
  for (int i = 0; i < 20000; ++i) rig.Deliver(Pattern(10, static_cast<size_t>(i)));
  const auto queued = static_cast<double>(rig.queuedBytes.load());
  EXPECT_EQ(queued, 200000);
  EXPECT_LE(static_cast<double>(rig.queue.HeldBytes()), 1.25 * queued + 8192);
  rig.queue.Discard();
  EXPECT_EQ(rig.queue.HeldBytes(), 0u);
  EXPECT_EQ(rig.queuedBytes.load(), 200000) << "the status table keeps showing what was never received";
  EXPECT_EQ(rig.budget.TotalBytes(), 0);
}

}  // namespace
}  // namespace veltor
