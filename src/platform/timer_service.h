// Timer service seam: periodic events on a thread of their own, shaped after the multimedia
// timer calls the periodic timer class makes.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/midi/midi_driver.h"  // MMRESULT

namespace fen {

inline constexpr MMRESULT TIMERR_NOERROR = 0;
inline constexpr MMRESULT TIMERR_NOCANDO = 97;
inline constexpr std::uint32_t TIME_ONESHOT = 0;
inline constexpr std::uint32_t TIME_PERIODIC = 1;
// Not of the multimedia timer: for an owner that asks for a tick (timeRequestTick) whenever it has
// work. With TIME_KICK_INLINE a requested tick runs at once on the asking thread when no tick
// of the event runs, instead of waking the event's thread. With TIME_SLEEP_WHEN_IDLE the
// event's thread ticks only every kIdleTickMs between requests instead of every period.
inline constexpr std::uint32_t TIME_KICK_INLINE = 0x100;
inline constexpr std::uint32_t TIME_SLEEP_WHEN_IDLE = 0x200;
inline constexpr std::uint32_t kIdleTickMs = 100;

struct TIMECAPS {
  std::uint32_t wPeriodMin = 0;
  std::uint32_t wPeriodMax = 0;
};

// Tick callback: event id, message (always 0), user value, two unused values.
using TimerProc = void (*)(std::uint32_t id, std::uint32_t msg, std::uintptr_t user,
                           std::uintptr_t dw1, std::uintptr_t dw2);

class TimerService {
 public:
  virtual ~TimerService() = default;
  virtual MMRESULT timeGetDevCaps(TIMECAPS* caps, std::uint32_t size) = 0;
  virtual MMRESULT timeBeginPeriod(std::uint32_t period) = 0;
  virtual MMRESULT timeEndPeriod(std::uint32_t period) = 0;
  // Starts an event; returns its id (never 0), or 0 when refused. Ticks of one event run one at
  // a time on a thread other than the caller's.
  virtual std::uint32_t timeSetEvent(std::uint32_t delay, std::uint32_t resolution,
                                     TimerProc callback, std::uintptr_t user,
                                     std::uint32_t flags) = 0;
  // Cancels an event. Once it has returned no tick of the event runs or will start. Must not
  // be called from the event's own tick.
  virtual MMRESULT timeKillEvent(std::uint32_t id) = 0;
  // Not of the multimedia timer: asks for one extra tick of the event as soon as its thread is
  // free, without waiting for the period. Never runs two ticks at a time; any thread may ask;
  // requests made while a tick runs lead to one more tick after it. With TIME_KICK_INLINE the tick
  // may run on the asking thread before this returns.
  virtual void timeRequestTick(std::uint32_t id) = 0;
};

// The real service: one thread per event, ticks on a steady clock.
TimerService& SystemTimerService();

}  // namespace fen
