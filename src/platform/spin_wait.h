// Short busy-waits for a moment known to be near. A thread woken from a blocking wait starts
// tens of microseconds late on a virtual machine (its processor has to be woken first), which
// is as long as everything else the host does between two blocks. Where the moment is
// predictable, a thread blocks until shortly before it and polls the rest.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace fen {

// Lets the calling thread's timed waits end close to their deadline (Linux rounds them up by
// 50 us by default). Does nothing where the system has no such setting.
void UsePreciseTimers();

// cv.wait_until(lock, until, ready), without the system call that a timed wait costs even when
// its moment has passed (some 15 us on a virtual machine): a thread that polled up to a
// moment comes to its wait with the moment behind it.
template <typename Ready>
bool WaitUntilOrPassed(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                       std::chrono::steady_clock::time_point until, Ready&& ready) {
  if (ready()) return true;
  if (std::chrono::steady_clock::now() >= until) return false;
  return cv.wait_until(lock, until, ready);
}

// A number of threads allowed to spin at one time.
class SpinPool {
 public:
  explicit SpinPool(int limit) : limit_(limit < 0 ? 0 : limit) {}
  // One fewer than the processors: spinning threads never keep everything else off the
  // machine, and on a single processor nobody spins (the thread that would end the wait could
  // not run meanwhile).
  static SpinPool& Default();
  // A pool of at most limit, and none on a single processor.
  static int WithSpareProcessors(int limit);

 private:
  friend class SpinPermit;
  const int limit_;
  std::atomic<int> spinners_{0};
};

// The right to spin for a while, from a pool; a thread that gets none blocks as it would
// have anyway.
class SpinPermit {
 public:
  explicit SpinPermit(SpinPool& pool);
  ~SpinPermit();
  SpinPermit(const SpinPermit&) = delete;
  SpinPermit& operator=(const SpinPermit&) = delete;
  explicit operator bool() const { return granted_; }

 private:
  SpinPool& pool_;
  bool granted_ = false;
};

// Polls ready() until it is true or until is reached; true when ready() became true.
// Spins only with a permit from pool; without one it returns false at once. Between polls it
// gives its processor to any thread ready to run there: the thread that would end the wait
// may have been woken on this very processor, and the scheduler does not always move it.
template <typename Ready>
bool SpinUntil(SpinPool& pool, std::chrono::steady_clock::time_point until, Ready&& ready) {
  SpinPermit permit(pool);
  if (!permit) return false;
  for (;;) {
    if (ready()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::yield();
  }
}

}  // namespace fen
