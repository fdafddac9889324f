// What the timer services of both platforms share: the table of events and their ids, the
// counted resolution requests, and the rule that one event's ticks run one at a time, on its
// own waking or on a thread that asks for one. Each platform adds only its way of waking.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/timer_service.h"

namespace fen {

// One event's state as both platforms keep it. The fields after `mutex` are guarded by it.
class TimerEvent {
 public:
  virtual ~TimerEvent() = default;

  // Runs one tick with the event's lock held on entry and on return, released during the
  // callback.
  void Tick(std::unique_lock<std::mutex>& lock);

  std::uint32_t id = 0;
  TimerProc callback = nullptr;
  std::uintptr_t user = 0;
  bool kick_inline = false;
  std::mutex mutex;
  // Wakes whoever waits for a running tick to end.
  std::condition_variable tick_done;
  bool stop = false;
  bool requested = false;  // requests made while a tick runs fold into this one flag
  bool ticking = false;    // a tick runs, on the event's own waking or an asking thread
  std::thread::id ticking_thread;

 protected:
  // A request that cannot run on the asking thread; the lock is held.
  virtual void WakeForRequest() = 0;
  // A tick has just ended, with the lock held; a request that came during it waits.
  virtual void AfterTick() = 0;

  friend class TimerServiceCore;
};

class TimerServiceCore : public TimerService {
 public:
  MMRESULT timeGetDevCaps(TIMECAPS* caps, std::uint32_t size) override;
  // Counted, so that a restore without its raise is refused rather than lowering a resolution
  // another part of the process raised.
  MMRESULT timeBeginPeriod(std::uint32_t period) override;
  MMRESULT timeEndPeriod(std::uint32_t period) override;
  void timeRequestTick(std::uint32_t id) override;

 protected:
  // The shortest and longest period the system offers; false when it does not say.
  virtual bool ReadSystemCaps(TIMECAPS* caps) = 0;
  // The system's side of a raised or restored resolution; nothing by default.
  virtual bool RaiseSystemPeriod(std::uint32_t /*period*/) { return true; }
  virtual void RestoreSystemPeriod(std::uint32_t /*period*/) {}

  // A new event with what every event has, or null for a request no platform serves: only
  // periodic events are offered, and a zero period would spin.
  template <typename Event>
  static std::shared_ptr<Event> NewEvent(std::uint32_t delay, TimerProc callback,
                                         std::uintptr_t user, std::uint32_t flags) {
    if (callback == nullptr || delay == 0 || (flags & TIME_PERIODIC) == 0) return nullptr;
    auto event = std::make_shared<Event>();
    event->callback = callback;
    event->user = user;
    event->kick_inline = (flags & TIME_KICK_INLINE) != 0;
    return event;
  }

  // Gives the event an id and keeps it once `start` (called with the table's lock held and the
  // id set) has said yes; returns the id, or 0 when `start` refused.
  template <typename Start>
  std::uint32_t AddEvent(const std::shared_ptr<TimerEvent>& event, Start start) {
    std::lock_guard<std::mutex> lock(mutex_);
    do {
      event->id = next_id_++;
    } while (event->id == 0 || events_.count(event->id) != 0);
    if (!start()) return 0;
    events_.emplace(event->id, event);
    return event->id;
  }

  // Takes the event out of the table; null when there is none of that id.
  std::shared_ptr<TimerEvent> TakeEvent(std::uint32_t id);
  // Waits for a tick running on an asking thread to end, unless it is the caller's own.
  static void WaitForAskingTick(TimerEvent& event);
  // Cancels every event still running, for the service's destructor.
  void KillAllEvents();

  std::mutex mutex_;

 private:
  std::shared_ptr<TimerEvent> FindEvent(std::uint32_t id);

  std::map<std::uint32_t, std::shared_ptr<TimerEvent>> events_;
  std::map<std::uint32_t, int> raised_;
  std::uint32_t next_id_ = 1;
};

}  // namespace fen
