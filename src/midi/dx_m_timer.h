// CDxMTimer: a periodic event at the finest resolution of the timer device, calling a given
// function (or the virtual OnTick) on every tick, on the timer service's thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/timer_service.h"

namespace fen {

class CDxMTimer {
 public:
  explicit CDxMTimer(TimerService& service = SystemTimerService());
  ~CDxMTimer();
  CDxMTimer(const CDxMTimer&) = delete;
  CDxMTimer& operator=(const CDxMTimer&) = delete;

  // A class that overrides OnTick must Stop in its own destructor: ticks may run until then.
  std::uint32_t Start(std::uint32_t period_ms, TimerProc callback, std::uintptr_t user);
  bool Stop();
  virtual void OnTick() {}

  // One extra tick as soon as the timer thread is free, so that a reply need not wait for the
  // next period.
  void RequestTick();
  // TIME_* flags added to the periodic event of the next Start, for an
  // owner that asks for a tick whenever it has work.
  void set_extra_flags(std::uint32_t flags) { extra_flags_ = flags; }

  std::uint32_t event_id() const { return event_id_.load(); }
  std::uint32_t minimum_period() const { return minimum_period_; }

  static void DefaultTimerCallback(std::uint32_t id, std::uint32_t msg, std::uintptr_t user,
                                   std::uintptr_t dw1, std::uintptr_t dw2);

 private:
  TimerService& service_;
  // Read by RequestTick on the input thread while the window thread starts and stops.
  std::atomic<std::uint32_t> event_id_{0};
  std::uint32_t minimum_period_ = 1;
  int unmatched_raises_ = 0;  // raises of refused Starts, restored at destruction
  std::uint32_t extra_flags_ = 0;
};

}  // namespace fen
