// The reply event's polling side and the pools that bound how many threads spin.
#include "platform/spin_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/auto_reset_event.h"
#include "platform/steady_clock.h"

namespace fen {
namespace {

TEST(AutoResetEventPolling, TryWaitAndAPastDeadlineTakeOnlyAPendingSignalAndTakeItOnce) {
  AutoResetEvent event;
  EXPECT_FALSE(event.TryWait());
  EXPECT_FALSE(event.WaitUntil(SteadyClock::now() - std::chrono::seconds(1)));
  event.Set();
  event.Set();  // a second Set before any wait is the same one signal
  EXPECT_TRUE(event.TryWait());
  EXPECT_FALSE(event.TryWait());
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  EXPECT_TRUE(event.WaitUntil(SteadyClock::now() - std::chrono::seconds(1)));
  EXPECT_FALSE(event.WaitUntil(SteadyClock::now() + std::chrono::milliseconds(5)));
  event.Set();
  event.Reset();
  EXPECT_FALSE(event.TryWait()) << "a reset signal must not be seen by a poll";
}

TEST(AutoResetEventPolling, APollerAndABlockedWaiterNeverBothTakeOneSignal) {
  AutoResetEvent event;
  std::atomic<int> taken{0};
  std::atomic<bool> stop{false};
  std::thread poller([&] {
    while (!stop.load()) {
      if (event.TryWait()) taken.fetch_add(1);
      std::this_thread::yield();
    }
  });
  std::thread waiter([&] {
    while (!stop.load()) {
      if (event.WaitUntil(SteadyClock::now() + std::chrono::milliseconds(1))) taken.fetch_add(1);
    }
  });
  constexpr int kSignals = 2000;
  for (int i = 0; i < kSignals; ++i) {
    event.Set();
    // The next signal only once this one is taken, so none merges with it.
    while (taken.load() <= i) std::this_thread::yield();
  }
  stop.store(true);
  poller.join();
  waiter.join();
  EXPECT_EQ(taken.load(), kSignals);
}

TEST(SpinPool, GrantsUpToItsLimitAndAgainOnceAPermitIsGiven) {
  SpinPool pool(2);
  {
    SpinPermit a(pool);
    SpinPermit b(pool);
    SpinPermit c(pool);
    EXPECT_TRUE(a);
    EXPECT_TRUE(b);
    EXPECT_FALSE(c);
    EXPECT_FALSE(SpinUntil(pool, SteadyClock::now() + std::chrono::seconds(10), [] {
      return true;
    })) << "without a permit nothing is polled, not even once";
  }
  SpinPermit d(pool);
  EXPECT_TRUE(d);
  SpinPool none(0);
  SpinPermit e(none);
  EXPECT_FALSE(e) << "a pool of none, as on a single processor, lets nobody spin";
  EXPECT_LE(SpinPool::WithSpareProcessors(1), 1);
}

TEST(SpinPool, SpinUntilEndsWhenReadyOrAtItsTime) {
  SpinPool pool(1);
  int polls = 0;
  EXPECT_TRUE(
      SpinUntil(pool, SteadyClock::now() + std::chrono::seconds(10), [&] { return ++polls == 3; }));
  EXPECT_EQ(polls, 3);
  const auto start = SteadyClock::now();
  EXPECT_FALSE(SpinUntil(pool, start + std::chrono::milliseconds(2), [] { return false; }));
  EXPECT_GE(SteadyClock::now() - start, std::chrono::milliseconds(2));
  SpinPermit after(pool);
  EXPECT_TRUE(after) << "SpinUntil gives its permit back";
}

}  // namespace
}  // namespace fen
