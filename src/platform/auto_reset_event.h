// Auto-reset event: the reply event of an update run. One Set releases exactly one Wait; a
// Set with nobody waiting stays pending until the next Wait or Reset.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace fen {

class AutoResetEvent {
 public:
  static constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

  void Set();
  void Reset();
  // True when signalled within timeout_ms (kInfinite: no limit); false on time-out.
  bool Wait(std::uint32_t timeout_ms);
  // The same with a deadline on the steady clock; one in the past only takes a pending signal.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline);
  // Takes a pending signal without waiting; cheap enough to poll (no lock while none is set).
  bool TryWait();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
  std::atomic<bool> pending_{false};  // signalled_, readable without the lock
};

}  // namespace fen
