// The real timer service: one thread per periodic event, ticking on the steady clock and
// sleeping on a condition variable between ticks; early ticks on request, on the asking
// thread when the event allows it.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/timer_service.h"

namespace fen {
namespace {

using SteadyClock = std::chrono::steady_clock;

class SystemTimerServiceImpl final : public TimerService {
 public:
  SystemTimerServiceImpl() = default;
  // Events still running at exit are cancelled so that no thread outlives the service.
  ~SystemTimerServiceImpl() override {
    std::vector<std::uint32_t> ids;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& entry : events_) ids.push_back(entry.first);
    }
    for (std::uint32_t id : ids) timeKillEvent(id);
  }

  MMRESULT timeGetDevCaps(TIMECAPS* caps, std::uint32_t size) override {
    if (caps == nullptr || size < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
    caps->wPeriodMin = 1;
    caps->wPeriodMax = 1000000;
    return TIMERR_NOERROR;
  }

  // The steady clock already has a fine resolution here; the calls are only balanced.
  MMRESULT timeBeginPeriod(std::uint32_t period) override {
    if (period == 0) return TIMERR_NOCANDO;
    std::lock_guard<std::mutex> lock(mutex_);
    ++raised_[period];
    return TIMERR_NOERROR;
  }

  MMRESULT timeEndPeriod(std::uint32_t period) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = raised_.find(period);
    if (it == raised_.end()) return TIMERR_NOCANDO;
    if (--it->second == 0) raised_.erase(it);
    return TIMERR_NOERROR;
  }

  std::uint32_t timeSetEvent(std::uint32_t delay, std::uint32_t /*resolution*/, TimerProc callback,
                             std::uintptr_t user, std::uint32_t flags) override {
    // Only periodic events are offered; a zero period would spin.
    if (callback == nullptr || delay == 0 || (flags & TIME_PERIODIC) == 0) return 0;
    auto event = std::make_shared<Event>();
    event->period = std::chrono::milliseconds(delay);
    event->callback = callback;
    event->user = user;
    event->kick_inline = (flags & TIME_KICK_INLINE) != 0;
    event->sleep_when_idle = (flags & TIME_SLEEP_WHEN_IDLE) != 0;
    std::lock_guard<std::mutex> lock(mutex_);
    do {
      event->id = next_id_++;
    } while (event->id == 0 || events_.count(event->id) != 0);
    try {
      event->thread = std::thread(Run, event);
    } catch (const std::system_error&) {
      return 0;
    }
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
    const auto self = std::this_thread::get_id();
    {
      std::unique_lock<std::mutex> lock(event->mutex);
      event->stop = true;
      event->cv.notify_all();
      event->tick_done.notify_all();
      // A tick running on an asking thread is waited for like one on the event's thread,
      // unless it is the caller's own.
      event->tick_done.wait(lock, [&] { return !event->ticking || event->ticking_thread == self; });
    }
    // Joining waits for a running tick to return. A tick that cancels its own event cannot
    // wait for itself: its thread ends once the tick returns.
    if (event->thread.get_id() == self) {
      event->thread.detach();
    } else {
      event->thread.join();
    }
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
      // The asking thread is awake already; waking the event's thread would only add a
      // hand-over to the path of every reply.
      Tick(*event, lock);
      return;
    }
    event->requested = true;
    event->cv.notify_all();
  }

 private:
  struct Event {
    std::uint32_t id = 0;
    std::chrono::milliseconds period{1};
    TimerProc callback = nullptr;
    std::uintptr_t user = 0;
    bool kick_inline = false;
    bool sleep_when_idle = false;
    std::mutex mutex;
    // Wakes the event's thread for a request or the stop.
    std::condition_variable cv;
    // Wakes whoever waits for a running tick to end. Apart from cv, a tick run on an asking
    // thread does not wake the sleeping event thread for nothing.
    std::condition_variable tick_done;
    bool stop = false;
    bool requested = false;  // requests made while a tick runs fold into this one flag
    bool ticking = false;    // a tick runs, on the event's thread or an asking thread
    std::thread::id ticking_thread;
    std::thread thread;
  };

  // Runs one tick with the event's lock held on entry and on return, released during the
  // callback.
  static void Tick(Event& event, std::unique_lock<std::mutex>& lock) {
    event.requested = false;
    event.ticking = true;
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
    // A request that came during the tick now wakes the event's thread for one more.
    if (event.requested) event.cv.notify_all();
    event.tick_done.notify_all();
  }

  // The event's thread. It holds a share of the event so that a detached thread (an event
  // cancelled from its own tick) still has it until the end.
  static void Run(std::shared_ptr<Event> event) {
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
      Tick(*event, lock);
      if (event->sleep_when_idle) next = SteadyClock::now() + interval;
    }
  }

  std::mutex mutex_;
  std::map<std::uint32_t, std::shared_ptr<Event>> events_;
  std::map<std::uint32_t, int> raised_;
  std::uint32_t next_id_ = 1;
};

}  // namespace

TimerService& SystemTimerService() {
  static SystemTimerServiceImpl service;
  return service;
}

}  // namespace fen
