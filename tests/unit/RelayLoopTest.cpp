// The loop's timing and keys, driven by a fake clock: the pass gate, the
// once-a-second block, the tick wrap, and what each key does.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "base/Constants.h"
#include "relay/RelayLoop.h"
#include "tests/support/FakeClock.h"

namespace veltor {
namespace {

class RecordingPhases final : public LoopPhases {
 public:
  explicit RecordingPhases(Clock& clock) : clock_(clock) {}
  void Sweep() override { Note('W'); }
  void OncePerSecond() override { Note('1'); }
  void ServerPump() override { Note('P'); }
  void ClientPass() override { Note('C'); }
  void PrintStatus() override { Note('S'); }

  std::string order;
  std::vector<uint32_t> passTicks;
  std::vector<uint32_t> secondTicks;

 private:
  void Note(char phase) {
    order.push_back(phase);
    if (phase == 'W') passTicks.push_back(clock_.TickMs());
    if (phase == '1') secondTicks.push_back(clock_.TickMs());
  }
  Clock& clock_;
};

class ScriptedKeys final : public KeySource {
 public:
  int PollKey() override {
    if (keys.empty()) return kNoKey;
    const int key = keys.front();
    keys.pop_front();
    return key;
  }
  // A waiting key ends the wait at once; with none the loop sleeps on its clock.
  bool WaitForKey(int, WakeSignal*) override { return !keys.empty(); }
  std::deque<int> keys;
};

struct LoopRig {
  explicit LoopRig(uint32_t startTick) : clock(startTick), phases(clock), loop(phases, keys) {}
  // Steps until the fake tick has moved `ms` on.
  void RunFor(uint32_t ms) {
    const uint32_t until = clock.TickMs() + ms;
    for (int guard = 0; guard < 1'000'000 && static_cast<int32_t>(clock.TickMs() - until) < 0; ++guard) {
      ASSERT_TRUE(loop.Step());
    }
  }
  testing::FakeClock clock;
  testing::ScopedClock installed{clock};
  RecordingPhases phases;
  ScriptedKeys keys;
  RelayLoop loop;
};

TEST(RelayLoopTiming, FirstPassAndItsOncePerSecondBlockRunAtOnceInPhaseOrder) {
  LoopRig rig(5000);
  rig.loop.Start();
  ASSERT_TRUE(rig.loop.Step());
  EXPECT_EQ(rig.phases.order, "W1PC");
  ASSERT_TRUE(rig.loop.Step());  // 0 ms later: the gate holds and the loop sleeps until the next pass
  EXPECT_EQ(rig.phases.order, "W1PC");
  EXPECT_EQ(rig.clock.TickMs(), 5010u);
}

TEST(RelayLoopTiming, PassesEveryTenMillisecondsAndTheBlockEverySecond) {
  LoopRig rig(0);
  rig.loop.Start();
  rig.RunFor(3000);
  ASSERT_GE(rig.phases.passTicks.size(), 299u);
  for (size_t i = 1; i < rig.phases.passTicks.size(); ++i) {
    EXPECT_EQ(rig.phases.passTicks[i] - rig.phases.passTicks[i - 1], kPassIntervalMs);
  }
  EXPECT_EQ(rig.phases.secondTicks, (std::vector<uint32_t>{0, 1000, 2000}));
}

TEST(RelayLoopTiming, GatesKeepFiringAcrossTheTickWrap) {
  const uint32_t nearWrap = 0xFFFFFFFFu - 1500;
  LoopRig rig(nearWrap);
  rig.loop.Start();
  rig.RunFor(4000);
  ASSERT_EQ(rig.phases.secondTicks.size(), 4u);
  for (size_t i = 1; i < rig.phases.secondTicks.size(); ++i) {
    EXPECT_EQ(static_cast<uint32_t>(rig.phases.secondTicks[i] - rig.phases.secondTicks[i - 1]), kRetryIntervalMs);
  }
  EXPECT_GE(rig.phases.passTicks.size(), 399u);
  for (size_t i = 1; i < rig.phases.passTicks.size(); ++i) {
    EXPECT_EQ(static_cast<uint32_t>(rig.phases.passTicks[i] - rig.phases.passTicks[i - 1]), kPassIntervalMs);
  }
}

TEST(RelayLoopTiming, ASlowPassDelaysTheNextButNeverSkipsTheGate) {
  LoopRig rig(100);
  rig.loop.Start();
  ASSERT_TRUE(rig.loop.Step());
  rig.clock.AdvanceTick(25);  // the pass took 25 ms
  ASSERT_TRUE(rig.loop.Step());
  EXPECT_EQ(rig.phases.passTicks, (std::vector<uint32_t>{100, 125}));
}

TEST(RelayLoopKeys, EscEndsAtOnceAndSOrLowerSPrintStatusBeforeThePass) {
  LoopRig rig(0);
  rig.loop.Start();
  rig.keys.keys = {'S', 's', 'x', 0, 224, 27, 'S'};
  ASSERT_TRUE(rig.loop.Step());
  EXPECT_EQ(rig.phases.order, "SW1PC");
  ASSERT_TRUE(rig.loop.Step());  // 's', then the gate holds
  ASSERT_TRUE(rig.loop.Step());  // 'x' swallowed
  ASSERT_TRUE(rig.loop.Step());  // 0 swallowed
  ASSERT_TRUE(rig.loop.Step());  // 224 swallowed
  EXPECT_EQ(rig.phases.order, "SW1PCS");
  EXPECT_FALSE(rig.loop.Step());  // ESC
  EXPECT_EQ(rig.keys.keys.size(), 1u);  // one key per iteration: the last S was never read
}

TEST(RelayLoopKeys, OnlyTheLowEightBitsOfAKeyCount) {
  LoopRig rig(0);
  rig.loop.Start();
  rig.keys.keys = {0x100 + 'S', 0x100 + 27};
  ASSERT_TRUE(rig.loop.Step());
  EXPECT_EQ(rig.phases.order.front(), 'S');
  EXPECT_FALSE(rig.loop.Step());
}

class FlagRequests final : public LoopRequests {
 public:
  bool ShutdownRequested() override { return shutdown; }
  bool TakeStatusRequest() override { return std::exchange(status, false); }
  bool shutdown = false;
  bool status = false;
};

TEST(RelayLoopKeys, SignalRequestsShutDownAndPrintStatusOnce) {
  testing::FakeClock clock(0);
  testing::ScopedClock installed(clock);
  RecordingPhases phases(clock);
  ScriptedKeys keys;
  FlagRequests requests;
  RelayLoop loop(phases, keys, &requests);
  loop.Start();
  requests.status = true;
  ASSERT_TRUE(loop.Step());
  ASSERT_TRUE(loop.Step());
  EXPECT_EQ(phases.order, "SW1PC");
  requests.shutdown = true;
  EXPECT_FALSE(loop.Step());
}

}  // namespace
}  // namespace veltor
