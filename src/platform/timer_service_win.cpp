// The real timer service on Windows: the multimedia timer. Each event is a periodic
// timeSetEvent whose callback runs the owner's tick unless one already runs; early ticks on
// request run on the asking thread when the event allows it, else on the next period.

// The seam's header before the system's: mmsystem.h defines its constants as macros, which
// would rewrite the seam's own declarations of them. mmsystem.h needs windows.h first.
// clang-format off
#include "platform/timer_service.h"
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace fen {
namespace {

class MultimediaTimerService final : public TimerService {
 public:
  MultimediaTimerService() = default;
  // Events still running at exit are cancelled so that no callback outlives the service.
  ~MultimediaTimerService() override {
    std::vector<std::uint32_t> ids;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& entry : events_) ids.push_back(entry.first);
    }
    for (std::uint32_t id : ids) timeKillEvent(id);
  }

  MMRESULT timeGetDevCaps(TIMECAPS* caps, std::uint32_t size) override {
    if (caps == nullptr || size < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
    ::TIMECAPS system{};
    if (::timeGetDevCaps(&system, sizeof system) != MMSYSERR_NOERROR) return TIMERR_NOCANDO;
    caps->wPeriodMin = system.wPeriodMin;
    caps->wPeriodMax = system.wPeriodMax;
    return TIMERR_NOERROR;
  }

  // Counted as on the other platforms, so that a restore without its raise is refused rather
  // than lowering a resolution another part of the process raised.
  MMRESULT timeBeginPeriod(std::uint32_t period) override {
    if (period == 0 || ::timeBeginPeriod(period) != MMSYSERR_NOERROR) return TIMERR_NOCANDO;
    std::lock_guard<std::mutex> lock(mutex_);
    ++raised_[period];
    return TIMERR_NOERROR;
  }

  MMRESULT timeEndPeriod(std::uint32_t period) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = raised_.find(period);
      if (it == raised_.end()) return TIMERR_NOCANDO;
      if (--it->second == 0) raised_.erase(it);
    }
    ::timeEndPeriod(period);
    return TIMERR_NOERROR;
  }

  std::uint32_t timeSetEvent(std::uint32_t delay, std::uint32_t resolution, TimerProc callback,
                             std::uintptr_t user, std::uint32_t flags) override {
    // Only periodic events are offered, as on the other platforms.
    if (callback == nullptr || delay == 0 || (flags & TIME_PERIODIC) == 0) return 0;
    auto event = std::make_shared<Event>();
    event->callback = callback;
    event->user = user;
    event->kick_inline = (flags & TIME_KICK_INLINE) != 0;
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
    std::lock_guard<std::mutex> lock(mutex_);
    do {
      event->id = next_id_++;
    } while (event->id == 0 || events_.count(event->id) != 0);
    // TIME_KILL_SYNCHRONOUS: once timeKillEvent has returned no callback of the event starts.
    event->system_id =
        ::timeSetEvent(delay, resolution, &SystemTick, reinterpret_cast<DWORD_PTR>(event.get()),
                       TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    if (event->system_id == 0) return 0;
    events_.emplace(event->id, event);
    return event->id;
  }

  MMRESULT timeKillEvent(std::uint32_t id) override {
    std::shared_ptr<Event> event;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = events_.find(id);
      if (it == events_.end()) return MMSYSERR_INVALPARAM;
      event = std::move(it->second);
      events_.erase(it);
    }
    UINT soon = 0;
    {
      std::lock_guard<std::mutex> lock(event->mutex);
      event->stop = true;
      if (event->soon_pending) soon = event->soon_id;
    }
    ::timeKillEvent(event->system_id);
    if (soon != 0) ::timeKillEvent(soon);
    // A tick running on an asking thread is waited for too, unless it is the caller's own.
    const auto self = std::this_thread::get_id();
    {
      std::unique_lock<std::mutex> lock(event->mutex);
      event->tick_done.wait(lock, [&] { return !event->ticking || event->ticking_thread == self; });
    }
    // A system callback that found the event stopped may still be returning; the event's
    // memory is kept for the service's life rather than guessed free.
    std::lock_guard<std::mutex> lock(mutex_);
    retired_.push_back(std::move(event));
    return TIMERR_NOERROR;
  }

  void timeRequestTick(std::uint32_t id) override {
    std::shared_ptr<Event> event;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = events_.find(id);
      if (it == events_.end()) return;
      event = it->second;
    }
    std::unique_lock<std::mutex> lock(event->mutex);
    if (event->stop) return;
    if (event->kick_inline && !event->ticking) {
      Tick(*event, lock);
      return;
    }
    event->requested = true;
    if (!event->ticking) ScheduleSoon(*event);
  }

 private:
  struct Event {
    std::uint32_t id = 0;
    UINT system_id = 0;
    TimerProc callback = nullptr;
    std::uintptr_t user = 0;
    bool kick_inline = false;
    std::uint32_t skip = 1;  // system ticks per tick passed on while nothing is asked
    std::mutex mutex;
    std::condition_variable tick_done;
    bool stop = false;
    bool requested = false;
    bool ticking = false;
    std::uint32_t since_tick = 0;
    bool soon_pending = false;  // a one-shot system tick is on its way for a request
    UINT soon_id = 0;
    std::thread::id ticking_thread;
  };

  // Runs one tick with the event's lock held on entry and on return, released during the
  // callback.
  static void Tick(Event& event, std::unique_lock<std::mutex>& lock) {
    event.requested = false;
    event.ticking = true;
    event.since_tick = 0;
    event.ticking_thread = std::this_thread::get_id();
    lock.unlock();
    try {
      event.callback(event.id, 0, event.user, 0, 0);
    } catch (...) {
      // A tick's failure must not end the timer thread or the process.
    }
    lock.lock();
    event.ticking = false;
    event.ticking_thread = std::thread::id();
    // A request that came during the tick gets one more soon.
    if (event.requested && !event.stop) ScheduleSoon(event);
    event.tick_done.notify_all();
  }

  // A one-shot system tick within a millisecond, for a request that cannot run on the asking
  // thread: the periodic tick may be far away. Called with the event's lock held.
  static void ScheduleSoon(Event& event) {
    if (event.soon_pending) return;
    event.soon_id = ::timeSetEvent(1, 1, &SoonTick, reinterpret_cast<DWORD_PTR>(&event),
                                   TIME_ONESHOT | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    event.soon_pending = event.soon_id != 0;
  }

  static void CALLBACK SoonTick(UINT /*id*/, UINT /*msg*/, DWORD_PTR user, DWORD_PTR /*dw1*/,
                                DWORD_PTR /*dw2*/) {
    Event& event = *reinterpret_cast<Event*>(user);
    std::unique_lock<std::mutex> lock(event.mutex);
    event.soon_pending = false;
    // A running tick takes the request over when it ends.
    if (event.stop || event.ticking || !event.requested) return;
    Tick(event, lock);
  }

  // The multimedia timer's callback, on the system's timer thread. A tick still running on an
  // asking thread makes this one pass: ticks never overlap, and the late ones do not pile up.
  static void CALLBACK SystemTick(UINT /*id*/, UINT /*msg*/, DWORD_PTR user, DWORD_PTR /*dw1*/,
                                  DWORD_PTR /*dw2*/) {
    Event& event = *reinterpret_cast<Event*>(user);
    std::unique_lock<std::mutex> lock(event.mutex);
    if (event.stop || event.ticking) return;
    if (!event.requested && ++event.since_tick < event.skip) return;
    Tick(event, lock);
  }

  std::mutex mutex_;
  std::map<std::uint32_t, std::shared_ptr<Event>> events_;
  std::map<std::uint32_t, int> raised_;
  std::vector<std::shared_ptr<Event>> retired_;
  std::uint32_t next_id_ = 1;
};

}  // namespace

TimerService& SystemTimerService() {
  static MultimediaTimerService service;
  return service;
}

}  // namespace fen
