// The real timer service: one thread per periodic event, ticking on the steady clock and
// sleeping on a condition variable between ticks; early ticks on request, on the asking
// thread when the event allows it.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/steady_clock.h"
#include "platform/timer_service_core.h"

namespace fen {
namespace {

// The event's own waking: a thread sleeping on a condition variable between ticks.
struct ThreadEvent final : TimerEvent {
  std::chrono::milliseconds period{1};
  bool sleep_when_idle = false;
  // Wakes the event's thread for a request or the stop. Apart from tick_done, a tick run on an
  // asking thread does not wake the sleeping event thread for nothing.
  std::condition_variable cv;
  std::thread thread;

 protected:
  void WakeForRequest() override { cv.notify_all(); }
  // A request that came during the tick now wakes the event's thread for one more.
  void AfterTick() override {
    if (requested) cv.notify_all();
  }
};

class SystemTimerServiceImpl final : public TimerServiceCore {
 public:
  // Events still running at exit are cancelled so that no thread outlives the service.
  ~SystemTimerServiceImpl() override { KillAllEvents(); }

  std::uint32_t timeSetEvent(std::uint32_t delay, std::uint32_t /*resolution*/, TimerProc callback,
                             std::uintptr_t user, std::uint32_t flags) override {
    auto event = NewEvent<ThreadEvent>(delay, callback, user, flags);
    if (!event) return 0;
    event->period = std::chrono::milliseconds(delay);
    event->sleep_when_idle = (flags & TIME_SLEEP_WHEN_IDLE) != 0;
    return AddEvent(event, [&] {
      try {
        event->thread = std::thread(Run, event);
      } catch (const std::system_error&) {
        return false;
      }
      return true;
    });
  }

  MMRESULT timeKillEvent(std::uint32_t id) override {
    auto event = std::static_pointer_cast<ThreadEvent>(TakeEvent(id));
    if (!event) return MMSYSERR_INVALPARAM;
    {
      std::lock_guard<std::mutex> lock(event->mutex);
      event->stop = true;
      event->cv.notify_all();
      event->tick_done.notify_all();
    }
    // A tick running on an asking thread is waited for like one on the event's thread.
    WaitForAskingTick(*event);
    // Joining waits for a running tick to return. A tick that cancels its own event cannot
    // wait for itself: its thread ends once the tick returns.
    if (event->thread.get_id() == std::this_thread::get_id()) {
      event->thread.detach();
    } else {
      event->thread.join();
    }
    return TIMERR_NOERROR;
  }

 protected:
  // The steady clock already has a fine resolution here; timeBeginPeriod and timeEndPeriod
  // are only balanced.
  bool ReadSystemCaps(TIMECAPS* caps) override {
    caps->wPeriodMin = 1;
    caps->wPeriodMax = 1000000;
    return true;
  }

 private:
  // The event's thread. It holds a share of the event so that a detached thread (an event
  // cancelled from its own tick) still has it until the end.
  static void Run(std::shared_ptr<ThreadEvent> event) {
    // Between requests an idle event only ticks now and then, as a safety net.
    const auto interval =
        event->sleep_when_idle
            ? std::max<SteadyClock::duration>(event->period, std::chrono::milliseconds(kIdleTickMs))
            : SteadyClock::duration(event->period);
    auto next = SteadyClock::now() + interval;
    std::unique_lock<std::mutex> lock(event->mutex);
    for (;;) {
      event->cv.wait_until(lock, next, [&] { return event->stop || event->requested; });
      if (event->stop) return;
      const auto now = SteadyClock::now();
      if (now >= next) {
        // A tick that ran past the period delays the following ones; they never pile up.
        next += interval;
        if (next <= now) next = now + interval;
      } else if (!event->requested) {
        continue;
      }
      // A tick running on an asking thread ends first; ticks never overlap.
      event->tick_done.wait(lock, [&] { return event->stop || !event->ticking; });
      if (event->stop) return;
      event->Tick(lock);
      if (event->sleep_when_idle) next = SteadyClock::now() + interval;
    }
  }
};

}  // namespace

TimerService& SystemTimerService() {
  static SystemTimerServiceImpl service;
  return service;
}

}  // namespace fen
