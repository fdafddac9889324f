#include "platform/timer_service_core.h"

#include <vector>

namespace fen {

void TimerEvent::Tick(std::unique_lock<std::mutex>& lock) {
  requested = false;
  ticking = true;
  ticking_thread = std::this_thread::get_id();
  lock.unlock();
  try {
    callback(id, 0, user, 0, 0);
  } catch (...) {
    // A tick's failure must not end the timer thread or the process.
  }
  lock.lock();
  ticking = false;
  ticking_thread = std::thread::id();
  AfterTick();
  tick_done.notify_all();
}

MMRESULT TimerServiceCore::timeGetDevCaps(TIMECAPS* caps, std::uint32_t size) {
  if (caps == nullptr || size < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
  return ReadSystemCaps(caps) ? TIMERR_NOERROR : TIMERR_NOCANDO;
}

MMRESULT TimerServiceCore::timeBeginPeriod(std::uint32_t period) {
  if (period == 0 || !RaiseSystemPeriod(period)) return TIMERR_NOCANDO;
  std::lock_guard<std::mutex> lock(mutex_);
  ++raised_[period];
  return TIMERR_NOERROR;
}

MMRESULT TimerServiceCore::timeEndPeriod(std::uint32_t period) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = raised_.find(period);
    if (it == raised_.end()) return TIMERR_NOCANDO;
    if (--it->second == 0) raised_.erase(it);
  }
  RestoreSystemPeriod(period);
  return TIMERR_NOERROR;
}

void TimerServiceCore::timeRequestTick(std::uint32_t id) {
  std::shared_ptr<TimerEvent> event = FindEvent(id);
  if (!event) return;
  std::unique_lock<std::mutex> lock(event->mutex);
  if (event->stop) return;
  if (event->kick_inline && !event->ticking) {
    // The asking thread is awake already; waking the event's own would only add a hand-over
    // to the path of every reply.
    event->Tick(lock);
    return;
  }
  event->requested = true;
  event->WakeForRequest();
}

std::shared_ptr<TimerEvent> TimerServiceCore::FindEvent(std::uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = events_.find(id);
  return it == events_.end() ? nullptr : it->second;
}

std::shared_ptr<TimerEvent> TimerServiceCore::TakeEvent(std::uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = events_.find(id);
  if (it == events_.end()) return nullptr;
  std::shared_ptr<TimerEvent> event = std::move(it->second);
  events_.erase(it);
  return event;
}

void TimerServiceCore::WaitForAskingTick(TimerEvent& event) {
  const auto self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(event.mutex);
  event.tick_done.wait(lock, [&] { return !event.ticking || event.ticking_thread == self; });
}

void TimerServiceCore::KillAllEvents() {
  std::vector<std::uint32_t> ids;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : events_) ids.push_back(entry.first);
  }
  for (std::uint32_t id : ids) timeKillEvent(id);
}

}  // namespace fen
