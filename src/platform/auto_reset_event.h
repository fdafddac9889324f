// Auto-reset event: the reply event of an update run. One Set releases exactly one Wait; a
// Set with nobody waiting stays pending until the next Wait or Reset.
#pragma once

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

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

}  // namespace fen
