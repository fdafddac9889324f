// The recording timer service of the tests.
#include "support/fake_timer_service.h"

namespace fen {

void FakeTimerService::SetPeriodMin(std::uint32_t period) {
  std::lock_guard<std::mutex> lock(mutex_);
  period_min_ = period;
}

void FakeTimerService::FailDevCaps(bool fail) {
  std::lock_guard<std::mutex> lock(mutex_);
  fail_caps_ = fail;
}

void FakeTimerService::RefuseEvents(bool refuse) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuse_ = refuse;
}

std::vector<std::string> FakeTimerService::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

void FakeTimerService::ClearCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

int FakeTimerService::TickNow(std::uint32_t id) {
  std::vector<Event> due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : events_) {
      if (id == 0 || entry.first == id) due.push_back(entry.second);
    }
  }
  for (const Event& event : due) event.callback(event.id, 0, event.user, 0, 0);
  return static_cast<int>(due.size());
}

int FakeTimerService::Raised() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return raised_;
}

int FakeTimerService::LiveEvents() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(events_.size());
}

bool FakeTimerService::IsLive(std::uint32_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.count(id) != 0;
}

int FakeTimerService::RequestedTicks(std::uint32_t id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (id != 0) {
    auto it = requests_.find(id);
    return it == requests_.end() ? 0 : it->second;
  }
  int total = 0;
  for (const auto& entry : requests_) total += entry.second;
  return total;
}

MMRESULT FakeTimerService::timeGetDevCaps(TIMECAPS* caps, std::uint32_t /*size*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back("timeGetDevCaps()");
  if (fail_caps_ || caps == nullptr) return TIMERR_NOCANDO;
  caps->wPeriodMin = period_min_;
  caps->wPeriodMax = 1000000;
  return TIMERR_NOERROR;
}

MMRESULT FakeTimerService::timeBeginPeriod(std::uint32_t period) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back("timeBeginPeriod(" + std::to_string(period) + ")");
  ++raised_;
  return TIMERR_NOERROR;
}

MMRESULT FakeTimerService::timeEndPeriod(std::uint32_t period) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back("timeEndPeriod(" + std::to_string(period) + ")");
  --raised_;
  return TIMERR_NOERROR;
}

std::uint32_t FakeTimerService::timeSetEvent(std::uint32_t delay, std::uint32_t resolution,
                                             TimerProc callback, std::uintptr_t user,
                                             std::uint32_t flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back("timeSetEvent(" + std::to_string(delay) + "," + std::to_string(resolution) +
                   ")");
  if (refuse_ || callback == nullptr) return 0;
  const std::uint32_t id = next_id_++;
  events_[id] = Event{id, delay, resolution, callback, user, flags};
  return id;
}

MMRESULT FakeTimerService::timeKillEvent(std::uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back("timeKillEvent(" + std::to_string(id) + ")");
  return events_.erase(id) != 0 ? TIMERR_NOERROR : MMSYSERR_INVALPARAM;
}

void FakeTimerService::timeRequestTick(std::uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back("timeRequestTick(" + std::to_string(id) + ")");
  if (events_.count(id) != 0) ++requests_[id];
}

}  // namespace fen
