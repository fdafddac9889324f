// The real timer service on Windows: the multimedia timer. Each event is a periodic
// timeSetEvent whose callback runs the owner's tick unless one already runs; early ticks on
// request run on the asking thread when the event allows it, else on the next period.

// The seam's header before the system's: mmsystem.h defines its constants as macros, which
// would rewrite the seam's own declarations of them. mmsystem.h needs windows.h first.
// clang-format off
#include "platform/timer_service_core.h"
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <memory>
#include <mutex>
#include <vector>

namespace fen {
namespace {

// The event's own waking: a periodic system tick, and a one-shot one for a request.
struct MultimediaEvent final : TimerEvent {
  UINT system_id = 0;
  std::uint32_t skip = 1;  // system ticks per tick passed on while nothing is asked
  std::uint32_t since_tick = 0;
  bool soon_pending = false;  // a one-shot system tick is on its way for a request
  UINT soon_id = 0;

  // A one-shot system tick within a millisecond, for a request that cannot run on the asking
  // thread: the periodic tick may be far away. Called with the event's lock held.
  void ScheduleSoon() {
    if (soon_pending) return;
    soon_id = ::timeSetEvent(1, 1, &SoonTick, reinterpret_cast<DWORD_PTR>(this),
                             TIME_ONESHOT | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    soon_pending = soon_id != 0;
  }

  static void CALLBACK SoonTick(UINT /*id*/, UINT /*msg*/, DWORD_PTR user, DWORD_PTR /*dw1*/,
                                DWORD_PTR /*dw2*/) {
    MultimediaEvent& event = *reinterpret_cast<MultimediaEvent*>(user);
    std::unique_lock<std::mutex> lock(event.mutex);
    event.soon_pending = false;
    // A running tick takes the request over when it ends.
    if (event.stop || event.ticking || !event.requested) return;
    event.Tick(lock);
  }

  // The multimedia timer's callback, on the system's timer thread. A tick still running on an
  // asking thread makes this one pass: ticks never overlap, and the late ones do not pile up.
  static void CALLBACK SystemTick(UINT /*id*/, UINT /*msg*/, DWORD_PTR user, DWORD_PTR /*dw1*/,
                                  DWORD_PTR /*dw2*/) {
    MultimediaEvent& event = *reinterpret_cast<MultimediaEvent*>(user);
    std::unique_lock<std::mutex> lock(event.mutex);
    if (event.stop || event.ticking) return;
    if (!event.requested && ++event.since_tick < event.skip) return;
    event.Tick(lock);
  }

 protected:
  void WakeForRequest() override {
    if (!ticking) ScheduleSoon();
  }
  // No system tick counts while a tick runs, so the count starts again from its end. A request
  // that came during the tick gets one more soon.
  void AfterTick() override {
    since_tick = 0;
    if (requested && !stop) ScheduleSoon();
  }
};

class MultimediaTimerService final : public TimerServiceCore {
 public:
  // Events still running at exit are cancelled so that no callback outlives the service.
  ~MultimediaTimerService() override { KillAllEvents(); }

  std::uint32_t timeSetEvent(std::uint32_t delay, std::uint32_t resolution, TimerProc callback,
                             std::uintptr_t user, std::uint32_t flags) override {
    auto event = NewEvent<MultimediaEvent>(delay, callback, user, flags);
    if (!event) return 0;
    // The system's period is capped at its longest; a longer one, and an idle event's, passes
    // most system ticks on. An idle event still gets a system tick every period, so that a
    // request is served within one.
    ::TIMECAPS caps{};
    const std::uint32_t longest =
        ::timeGetDevCaps(&caps, sizeof caps) == MMSYSERR_NOERROR ? caps.wPeriodMax : 1000;
    const std::uint32_t system_period = delay < longest ? delay : longest;
    std::uint32_t interval = delay;
    if ((flags & TIME_SLEEP_WHEN_IDLE) != 0 && interval < kIdleTickMs) interval = kIdleTickMs;
    event->skip = (interval + system_period - 1) / system_period;
    delay = system_period;
    return AddEvent(event, [&] {
      // TIME_KILL_SYNCHRONOUS: once timeKillEvent has returned no callback of the event starts.
      event->system_id = ::timeSetEvent(
          delay, resolution, &MultimediaEvent::SystemTick, reinterpret_cast<DWORD_PTR>(event.get()),
          TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
      return event->system_id != 0;
    });
  }

  MMRESULT timeKillEvent(std::uint32_t id) override {
    auto event = std::static_pointer_cast<MultimediaEvent>(TakeEvent(id));
    if (!event) return MMSYSERR_INVALPARAM;
    UINT soon = 0;
    {
      std::lock_guard<std::mutex> lock(event->mutex);
      event->stop = true;
      if (event->soon_pending) soon = event->soon_id;
    }
    ::timeKillEvent(event->system_id);
    if (soon != 0) ::timeKillEvent(soon);
    // A tick running on an asking thread is waited for too.
    WaitForAskingTick(*event);
    // A system callback that found the event stopped may still be returning; the event's
    // memory is kept for the service's life rather than guessed free.
    std::lock_guard<std::mutex> lock(mutex_);
    retired_.push_back(std::move(event));
    return TIMERR_NOERROR;
  }

 protected:
  bool ReadSystemCaps(TIMECAPS* caps) override {
    ::TIMECAPS system{};
    if (::timeGetDevCaps(&system, sizeof system) != MMSYSERR_NOERROR) return false;
    caps->wPeriodMin = system.wPeriodMin;
    caps->wPeriodMax = system.wPeriodMax;
    return true;
  }
  // Raised in the system as well; the count (kept by the core) refuses a restore without its
  // raise rather than lowering a resolution another part of the process raised.
  bool RaiseSystemPeriod(std::uint32_t period) override {
    return ::timeBeginPeriod(period) == MMSYSERR_NOERROR;
  }
  void RestoreSystemPeriod(std::uint32_t period) override { ::timeEndPeriod(period); }

 private:
  std::vector<std::shared_ptr<MultimediaEvent>> retired_;
};

}  // namespace

TimerService& SystemTimerService() {
  static MultimediaTimerService service;
  return service;
}

}  // namespace fen
