// CDxMTimer over the recording timer service: the order of its calls, the matching of every
// raise of the resolution with one restore, and who is called on a tick.
#include "midi/dx_m_timer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_timer_service.h"

namespace fen {
namespace {

using Names = std::vector<std::string>;

struct Ticks {
  int count = 0;
  std::uintptr_t user = 0;
};

void CountTick(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t, std::uintptr_t) {
  ++reinterpret_cast<Ticks*>(user)->count;
}

class CountingTimer : public CDxMTimer {
 public:
  using CDxMTimer::CDxMTimer;
  ~CountingTimer() { Stop(); }
  void OnTick() override { ++on_ticks; }
  int on_ticks = 0;
};

class DxMTimerTest : public ::testing::Test {
 protected:
  FakeTimerService service_;
  Ticks ticks_;
  std::uintptr_t user() { return reinterpret_cast<std::uintptr_t>(&ticks_); }
};

TEST_F(DxMTimerTest, StartRaisesTheResolutionThenStartsAPeriodicEventAtTheDevicesMinimum) {
  service_.SetPeriodMin(2);
  CDxMTimer timer(service_);
  EXPECT_EQ(timer.minimum_period(), 2u);
  const std::uint32_t id = timer.Start(1, &CountTick, user());
  EXPECT_NE(id, 0u);
  EXPECT_EQ(timer.event_id(), id);
  EXPECT_EQ(service_.Calls(),
            (Names{"timeGetDevCaps()", "timeBeginPeriod(2)", "timeSetEvent(1,2)"}));
}

TEST_F(DxMTimerTest, WithoutTheDevicesFigureTheMinimumPeriodIsOneMillisecond) {
  service_.FailDevCaps(true);
  CDxMTimer timer(service_);
  EXPECT_EQ(timer.minimum_period(), 1u);
}

TEST_F(DxMTimerTest, StartOnARunningTimerEndsTheOldEventAndItsRaiseBeforeTheNewOnes) {
  CDxMTimer timer(service_);
  const std::uint32_t first = timer.Start(1, &CountTick, user());
  service_.ClearCalls();
  const std::uint32_t second = timer.Start(5, &CountTick, user());
  EXPECT_EQ(service_.Calls(),
            (Names{"timeKillEvent(" + std::to_string(first) + ")", "timeEndPeriod(1)",
                   "timeBeginPeriod(1)", "timeSetEvent(5,1)"}));
  EXPECT_EQ(service_.LiveEvents(), 1);
  EXPECT_TRUE(service_.IsLive(second));
  EXPECT_EQ(service_.Raised(), 1);
}

TEST_F(DxMTimerTest, StopOnAStoppedTimerReturnsTrueAndMakesNoCall) {
  CDxMTimer timer(service_);
  service_.ClearCalls();
  EXPECT_TRUE(timer.Stop());
  EXPECT_TRUE(service_.Calls().empty());
}

TEST_F(DxMTimerTest, AGivenCallbackGetsTheUserValueAndOnTickIsNotCalled) {
  CountingTimer timer(service_);
  timer.Start(1, &CountTick, user());
  EXPECT_EQ(service_.TickNow(), 1);
  service_.TickNow();
  EXPECT_EQ(ticks_.count, 2);
  EXPECT_EQ(timer.on_ticks, 0);
}

TEST_F(DxMTimerTest, WithoutACallbackEveryTickCallsOnTick) {
  CountingTimer timer(service_);
  timer.Start(1, nullptr, 0);
  service_.TickNow();
  service_.TickNow();
  EXPECT_EQ(timer.on_ticks, 2);
}

TEST_F(DxMTimerTest, DestroyingARunningTimerEndsTheEventAndRestoresExactlyOnce) {
  {
    CDxMTimer timer(service_);
    timer.Start(1, &CountTick, user());
    service_.ClearCalls();
  }
  EXPECT_EQ(service_.Calls(), (Names{"timeKillEvent(1)", "timeEndPeriod(1)"}));
  EXPECT_EQ(service_.Raised(), 0);
  EXPECT_EQ(service_.LiveEvents(), 0);
}

TEST_F(DxMTimerTest, DestroyingATimerNeverStartedRestoresNothing) {
  { CDxMTimer timer(service_); }
  EXPECT_EQ(service_.Calls(), (Names{"timeGetDevCaps()"}));
}

TEST_F(DxMTimerTest, ARefusedStartReturnsZeroAndItsRaiseIsRestoredOnlyAtDestruction) {
  {
    CDxMTimer timer(service_);
    service_.RefuseEvents(true);
    EXPECT_EQ(timer.Start(1, &CountTick, user()), 0u);
    EXPECT_EQ(timer.event_id(), 0u);
    EXPECT_EQ(timer.Start(1, &CountTick, user()), 0u);
    service_.ClearCalls();
    EXPECT_TRUE(timer.Stop());
    EXPECT_TRUE(service_.Calls().empty());
    EXPECT_EQ(service_.Raised(), 2);
  }
  EXPECT_EQ(service_.Calls(), (Names{"timeEndPeriod(1)", "timeEndPeriod(1)"}));
  EXPECT_EQ(service_.Raised(), 0);
}

TEST_F(DxMTimerTest, AnEarlyTickIsAskedForOnlyWhileRunning) {
  CDxMTimer timer(service_);
  timer.RequestTick();
  const std::uint32_t id = timer.Start(1, &CountTick, user());
  timer.RequestTick();
  timer.Stop();
  timer.RequestTick();
  EXPECT_EQ(service_.RequestedTicks(), 1);
  EXPECT_EQ(service_.RequestedTicks(id), 1);
}

}  // namespace
}  // namespace fen
