// The real timer service, auto-reset event and clock. These run on real threads; they wait
// for things to happen, never for a given time to pass.
#include "platform/timer_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

#include "platform/auto_reset_event.h"
#include "platform/clock.h"
#include "support/thread_switches.h"

namespace fen {
namespace {

constexpr std::uint32_t kPatienceMs = 10000;
constexpr std::uint32_t kLongPeriodMs = 600000;  // no periodic tick comes during a test

struct Probe {
  std::atomic<int> ticks{0};
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  AutoResetEvent ticked;
  // When set, the first tick waits for `release` and then records `finished`.
  bool block_first = false;
  AutoResetEvent entered;
  AutoResetEvent release;
  std::atomic<bool> finished{false};
};

void ProbeTick(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t, std::uintptr_t) {
  auto* probe = reinterpret_cast<Probe*>(user);
  if (probe->inside.fetch_add(1) != 0) probe->overlapped = true;
  const int n = probe->ticks.fetch_add(1) + 1;
  if (n == 1 && probe->block_first) {
    probe->entered.Set();
    probe->release.Wait(AutoResetEvent::kInfinite);
    probe->finished = true;
  }
  probe->inside.fetch_sub(1);
  probe->ticked.Set();
}

// Waits until the probe has seen at least n ticks.
bool WaitForTicks(Probe& probe, int n) {
  while (probe.ticks.load() < n) {
    if (!probe.ticked.Wait(kPatienceMs)) return false;
  }
  return true;
}

std::uintptr_t As(Probe& probe) { return reinterpret_cast<std::uintptr_t>(&probe); }

// A periodic event for the probe whose period never comes during a test: it ticks only when
// asked to.
std::uint32_t StartAskedOnlyEvent(TimerService& service, Probe& probe, std::uint32_t flags = 0) {
  return service.timeSetEvent(kLongPeriodMs, 1, &ProbeTick, As(probe), TIME_PERIODIC | flags);
}

// After requests made during the probe's blocked first tick and its release: exactly one more
// tick comes.
void ExpectExactlyOneMoreTick(Probe& probe) {
  EXPECT_TRUE(WaitForTicks(probe, 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(probe.ticks.load(), 2);
}

// Kills the event from another thread while the probe's first tick is blocked inside, and
// releases the tick a little later. True when the kill returned only after the tick finished.
bool KillReturnsAfterTheBlockedTick(TimerService& service, std::uint32_t id, Probe& probe) {
  std::atomic<bool> finished_at_return{false};
  std::thread killer([&] {
    service.timeKillEvent(id);
    finished_at_return = probe.finished.load();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  probe.release.Set();
  killer.join();
  return finished_at_return.load();
}

TEST(SystemTimerService, TicksArriveEveryPeriodUntilTheEventIsKilled) {
  TimerService& service = SystemTimerService();
  Probe probe;
  const std::uint32_t id = service.timeSetEvent(1, 1, &ProbeTick, As(probe), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(WaitForTicks(probe, 5));
  EXPECT_EQ(service.timeKillEvent(id), TIMERR_NOERROR);
  const int after_kill = probe.ticks.load();
  EXPECT_EQ(probe.inside.load(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(probe.ticks.load(), after_kill);
  EXPECT_NE(service.timeKillEvent(id), TIMERR_NOERROR);
}

TEST(SystemTimerService, KillingAnEventWaitsForTheRunningTickToReturn) {
  TimerService& service = SystemTimerService();
  Probe probe;
  probe.block_first = true;
  const std::uint32_t id = service.timeSetEvent(1, 1, &ProbeTick, As(probe), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(probe.entered.Wait(kPatienceMs));
  EXPECT_TRUE(KillReturnsAfterTheBlockedTick(service, id, probe));
}

TEST(SystemTimerService, TicksNeverOverlapEvenWhenEarlyTicksAreAskedForFromAnotherThread) {
  TimerService& service = SystemTimerService();
  Probe probe;
  const std::uint32_t id = service.timeSetEvent(1, 1, &ProbeTick, As(probe), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  std::thread asker([&] {
    for (int i = 0; i < 2000; ++i) service.timeRequestTick(id);
  });
  asker.join();
  EXPECT_TRUE(WaitForTicks(probe, probe.ticks.load() + 20));
  service.timeKillEvent(id);
  EXPECT_FALSE(probe.overlapped.load());
}

TEST(SystemTimerService, AnEarlyTickComesWithoutWaitingForThePeriod) {
  TimerService& service = SystemTimerService();
  Probe probe;
  const std::uint32_t id = StartAskedOnlyEvent(service, probe);
  ASSERT_NE(id, 0u);
  service.timeRequestTick(id);
  EXPECT_TRUE(WaitForTicks(probe, 1));
  service.timeKillEvent(id);
}

TEST(SystemTimerService, RequestsMadeDuringATickFoldIntoOneMoreTick) {
  TimerService& service = SystemTimerService();
  Probe probe;
  probe.block_first = true;
  const std::uint32_t id = StartAskedOnlyEvent(service, probe);
  ASSERT_NE(id, 0u);
  service.timeRequestTick(id);
  ASSERT_TRUE(probe.entered.Wait(kPatienceMs));
  for (int i = 0; i < 5; ++i) service.timeRequestTick(id);
  probe.release.Set();
  ExpectExactlyOneMoreTick(probe);
  service.timeKillEvent(id);
}

struct SelfKill {
  TimerService* service = nullptr;
  std::atomic<std::uint32_t> id{0};
  AutoResetEvent done;
};

void KillOwnEvent(std::uint32_t id, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                  std::uintptr_t) {
  auto* self = reinterpret_cast<SelfKill*>(user);
  if (self->id.load() != id) return;  // not yet published
  self->service->timeKillEvent(id);
  self->done.Set();
}

TEST(SystemTimerService, ATickThatKillsItsOwnEventEndsItWithoutDeadlock) {
  SelfKill self;
  self.service = &SystemTimerService();
  self.id = self.service->timeSetEvent(kLongPeriodMs, 1, &KillOwnEvent,
                                       reinterpret_cast<std::uintptr_t>(&self), TIME_PERIODIC);
  ASSERT_NE(self.id.load(), 0u);
  self.service->timeRequestTick(self.id);
  ASSERT_TRUE(self.done.Wait(kPatienceMs));
  EXPECT_NE(self.service->timeKillEvent(self.id), TIMERR_NOERROR);
}

TEST(SystemTimerService, RefusesEventsItCannotRunAndUnbalancedRestores) {
  TimerService& service = SystemTimerService();
  Probe probe;
  EXPECT_EQ(service.timeSetEvent(0, 1, &ProbeTick, As(probe), TIME_PERIODIC), 0u);
  EXPECT_EQ(service.timeSetEvent(1, 1, nullptr, 0, TIME_PERIODIC), 0u);
  EXPECT_EQ(service.timeEndPeriod(7), TIMERR_NOCANDO);
  EXPECT_EQ(service.timeBeginPeriod(7), TIMERR_NOERROR);
  EXPECT_EQ(service.timeEndPeriod(7), TIMERR_NOERROR);
  TIMECAPS caps;
  ASSERT_EQ(service.timeGetDevCaps(&caps, sizeof(caps)), TIMERR_NOERROR);
  EXPECT_EQ(caps.wPeriodMin, 1u);
}

// --- Early ticks on the asking thread, sleeping while idle --------------------------------

struct ThreadProbe : Probe {
  std::atomic<std::thread::id> last_thread{};
};

void ThreadProbeTick(std::uint32_t id, std::uint32_t msg, std::uintptr_t user, std::uintptr_t a,
                     std::uintptr_t b) {
  reinterpret_cast<ThreadProbe*>(user)->last_thread = std::this_thread::get_id();
  ProbeTick(id, msg, user, a, b);
}

TEST(SystemTimerServiceInlineKick, ARequestWithNoTickRunningIsServedOnTheAskingThreadAtOnce) {
  TimerService& service = SystemTimerService();
  ThreadProbe probe;
  const std::uint32_t id = service.timeSetEvent(kLongPeriodMs, 1, &ThreadProbeTick, As(probe),
                                                TIME_PERIODIC | TIME_KICK_INLINE);
  ASSERT_NE(id, 0u);
  service.timeRequestTick(id);
  EXPECT_EQ(probe.ticks.load(), 1);
  EXPECT_EQ(probe.last_thread.load(), std::this_thread::get_id());
  service.timeKillEvent(id);
}

// An asked-only event whose ticks run on the asking thread; its first tick blocks inside until
// the probe releases it.
class SystemTimerServiceInlineKickBlocked : public ::testing::Test {
 protected:
  void SetUp() override {
    probe.block_first = true;
    id = StartAskedOnlyEvent(service, probe, TIME_KICK_INLINE);
    ASSERT_NE(id, 0u);
  }

  TimerService& service = SystemTimerService();
  Probe probe;
  std::uint32_t id = 0;
};

TEST_F(SystemTimerServiceInlineKickBlocked,
       ARequestDuringAnotherThreadsTickWaitsForItAndFoldsIntoOneMore) {
  std::thread first([&] { service.timeRequestTick(id); });  // blocks inside its own tick
  ASSERT_TRUE(probe.entered.Wait(kPatienceMs));
  for (int i = 0; i < 5; ++i) service.timeRequestTick(id);  // must not run a second tick now
  EXPECT_EQ(probe.ticks.load(), 1);
  probe.release.Set();
  first.join();
  ExpectExactlyOneMoreTick(probe);
  EXPECT_FALSE(probe.overlapped.load());
  service.timeKillEvent(id);
}

TEST(SystemTimerServiceInlineKick, TicksOnTheAskingThreadLeaveTheEventsThreadAsleep) {
  TimerService& service = SystemTimerService();
  Probe probe;
  const std::uint32_t id = StartAskedOnlyEvent(service, probe, TIME_KICK_INLINE);
  ASSERT_NE(id, 0u);
  service.timeRequestTick(id);
  if (!testing::OtherThreadsSwitches()) GTEST_SKIP() << "no per-thread switch counts here";
  constexpr int kRequests = 200;
  const auto switches =
      testing::OtherThreadsSwitchesDuring(kRequests, [&] { service.timeRequestTick(id); });
  EXPECT_EQ(kRequests + 1, probe.ticks.load());
  // Waking it after each tick would be a switch each; a stray few are the system's.
  ASSERT_TRUE(switches.has_value());
  EXPECT_LT(*switches, 10u);
  service.timeKillEvent(id);
}

TEST_F(SystemTimerServiceInlineKickBlocked, KillingTheEventWaitsForATickRunningOnAnAskingThread) {
  std::thread asker([&] { service.timeRequestTick(id); });
  ASSERT_TRUE(probe.entered.Wait(kPatienceMs));
  const bool killed_after_tick = KillReturnsAfterTheBlockedTick(service, id, probe);
  asker.join();
  EXPECT_TRUE(killed_after_tick);
  service.timeRequestTick(id);  // a killed event never ticks again
  EXPECT_EQ(probe.ticks.load(), 1);
}

TEST(SystemTimerServiceSleepWhenIdle, AnIdleEventTicksOnlyNowAndThenButARequestWakesItAtOnce) {
  TimerService& service = SystemTimerService();
  Probe probe;
  const auto start = std::chrono::steady_clock::now();
  const std::uint32_t id =
      service.timeSetEvent(1, 1, &ProbeTick, As(probe), TIME_PERIODIC | TIME_SLEEP_WHEN_IDLE);
  ASSERT_NE(id, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const int idle_ticks = probe.ticks.load();
  const auto idle_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  // Every period would be about 30 ticks; asleep, one per kIdleTickMs at most.
  EXPECT_LE(idle_ticks, idle_ms / static_cast<long>(kIdleTickMs) + 1);
  service.timeRequestTick(id);
  EXPECT_TRUE(WaitForTicks(probe, idle_ticks + 1));
  EXPECT_TRUE(WaitForTicks(probe, idle_ticks + 2));  // and the safety tick still comes
  service.timeKillEvent(id);
}

// --- AutoResetEvent -----------------------------------------------------------------------

TEST(AutoResetEvent, ASetWithNobodyWaitingStaysPendingForOneWait) {
  AutoResetEvent event;
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));
}

TEST(AutoResetEvent, ResetClearsAPendingSet) {
  AutoResetEvent event;
  event.Set();
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
}

TEST(AutoResetEvent, AWaitThatIsNotSignalledTimesOut) {
  AutoResetEvent event;
  EXPECT_FALSE(event.Wait(5));
}

TEST(AutoResetEvent, OneSetReleasesExactlyOneOfTwoWaiters) {
  AutoResetEvent event;
  std::atomic<int> released{0};
  AutoResetEvent progress;
  auto waiter = [&] {
    event.Wait(AutoResetEvent::kInfinite);
    released.fetch_add(1);
    progress.Set();
  };
  std::thread a(waiter);
  std::thread b(waiter);
  event.Set();
  ASSERT_TRUE(progress.Wait(kPatienceMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(released.load(), 1);
  event.Set();
  a.join();
  b.join();
  EXPECT_EQ(released.load(), 2);
}

// --- Clock --------------------------------------------------------------------------------

TEST(UtcNow, GivesTodaysDateAndTimeInUtc) {
  // The bounds come from the same clock: std::time may read a coarser one that lags behind.
  using std::chrono::system_clock;
  const std::time_t before = system_clock::to_time_t(system_clock::now());
  const SystemTime now = UtcNow();
  const std::time_t after = system_clock::to_time_t(system_clock::now());
  std::tm lo{};
  std::tm hi{};
  lo = *std::gmtime(&before);
  hi = *std::gmtime(&after);
  auto key = [](int y, int mo, int d, int h, int mi, int s) {
    return ((((static_cast<long long>(y) * 13 + mo) * 32 + d) * 24 + h) * 60 + mi) * 60 + s;
  };
  const long long got = key(now.year, now.month, now.day, now.hour, now.minute, now.second);
  EXPECT_LE(key(lo.tm_year + 1900, lo.tm_mon + 1, lo.tm_mday, lo.tm_hour, lo.tm_min, lo.tm_sec),
            got);
  EXPECT_GE(key(hi.tm_year + 1900, hi.tm_mon + 1, hi.tm_mday, hi.tm_hour, hi.tm_min, hi.tm_sec),
            got);
}

}  // namespace
}  // namespace fen
