// The spin pool: how many threads may busy-wait at once. UsePreciseTimers is in
// precise_timers_<platform>.cpp.
#include "platform/spin_wait.h"

#include <atomic>
#include <thread>

namespace fen {
namespace {
int SpareProcessors() { return static_cast<int>(std::thread::hardware_concurrency()) - 1; }
}  // namespace

SpinPool& SpinPool::Default() {
  static SpinPool pool(SpareProcessors());
  return pool;
}

int SpinPool::WithSpareProcessors(int limit) {
  const int spare = SpareProcessors();
  return spare < limit ? spare : limit;
}

SpinPermit::SpinPermit(SpinPool& pool) : pool_(pool) {
  int now = pool_.spinners_.load(std::memory_order_relaxed);
  while (now < pool_.limit_) {
    if (pool_.spinners_.compare_exchange_weak(now, now + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
      granted_ = true;
      return;
    }
  }
}

SpinPermit::~SpinPermit() {
  if (granted_) pool_.spinners_.fetch_sub(1, std::memory_order_release);
}

}  // namespace fen
