#include "platform/bounded_call.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace fen {
namespace {

using namespace std::chrono_literals;

// What a call that never returns in time holds on to: alive until the call has returned, and
// only then let go, whatever the caller did meanwhile.
struct Watched {
  explicit Watched(std::atomic<bool>* gone) : gone_(gone) {}
  ~Watched() { gone_->store(true); }
  std::atomic<bool>* gone_;
};

TEST(CallWithin, ACallThatReturnsInTimeHasRunAndLetGoOfWhatItKept) {
  std::atomic<bool> ran{false};
  std::atomic<bool> gone{false};
  EXPECT_TRUE(CallWithin(
      5s, [&] { ran = true; }, std::make_shared<Watched>(&gone)));
  EXPECT_TRUE(ran.load());
  EXPECT_TRUE(gone.load());
}

TEST(CallWithin, ACallThatBlocksIsGivenUpOnAndKeepsWhatItUsesUntilItReturns) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> gone{false};
  auto kept = std::make_shared<Watched>(&gone);
  std::weak_ptr<Watched> watch = kept;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(CallWithin(
      50ms, [released] { released.wait(); }, std::move(kept)));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
  // The caller has gone on; what the call may still use is there.
  EXPECT_FALSE(gone.load());
  EXPECT_FALSE(watch.expired());
  release.set_value();
  for (int i = 0; i < 1000 && !gone.load(); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(gone.load());
}

}  // namespace
}  // namespace fen
