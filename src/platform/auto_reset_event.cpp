// Auto-reset event over a mutex and a condition variable; time-outs run on the steady clock so
// that a change of the wall clock cannot stretch or cut a wait.
#include "platform/auto_reset_event.h"

#include <chrono>

#include "platform/spin_wait.h"

namespace fen {

void AutoResetEvent::Set() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = true;
  pending_.store(true, std::memory_order_release);
  // One Set releases one Wait: the woken waiter consumes the signal. Notifying under the lock
  // keeps a waiter that returns and destroys the event from racing this call.
  cv_.notify_one();
}

void AutoResetEvent::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
  pending_.store(false, std::memory_order_relaxed);
}

bool AutoResetEvent::Wait(std::uint32_t timeout_ms) {
  if (timeout_ms != kInfinite) {
    return WaitUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms));
  }
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return signalled_; });
  signalled_ = false;
  pending_.store(false, std::memory_order_relaxed);
  return true;
}

bool AutoResetEvent::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!WaitUntilOrPassed(cv_, lock, deadline, [this] { return signalled_; })) return false;
  signalled_ = false;
  pending_.store(false, std::memory_order_relaxed);
  return true;
}

bool AutoResetEvent::TryWait() {
  if (!pending_.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!signalled_) return false;
  signalled_ = false;
  pending_.store(false, std::memory_order_relaxed);
  return true;
}

}  // namespace fen
