// CDxMTimer: starts and stops one periodic event of the timer service, keeping every raise of
// the timer resolution matched by exactly one restore.
#include "midi/dx_m_timer.h"

namespace fen {

CDxMTimer::CDxMTimer(TimerService& service) : service_(service) {
  TIMECAPS caps;
  // Without the device's figure, 1 ms is the finest period any event here asks for.
  if (service_.timeGetDevCaps(&caps, sizeof(caps)) == TIMERR_NOERROR && caps.wPeriodMin != 0) {
    minimum_period_ = caps.wPeriodMin;
  }
}

CDxMTimer::~CDxMTimer() {
  Stop();
  // Refused Starts raised the resolution without an event that Stop would restore.
  for (; unmatched_raises_ > 0; --unmatched_raises_) service_.timeEndPeriod(minimum_period_);
}

std::uint32_t CDxMTimer::Start(std::uint32_t period_ms, TimerProc callback, std::uintptr_t user) {
  Stop();
  service_.timeBeginPeriod(minimum_period_);
  std::uint32_t id = 0;
  if (callback != nullptr) {
    id = service_.timeSetEvent(period_ms, minimum_period_, callback, user,
                               TIME_PERIODIC | extra_flags_);
  } else {
    id =
        service_.timeSetEvent(period_ms, minimum_period_, &CDxMTimer::DefaultTimerCallback,
                              reinterpret_cast<std::uintptr_t>(this), TIME_PERIODIC | extra_flags_);
  }
  if (id == 0) ++unmatched_raises_;
  event_id_.store(id);
  return id;
}

bool CDxMTimer::Stop() {
  // Cleared first, so that an early tick asked for from now on finds no event to ask for.
  const std::uint32_t id = event_id_.exchange(0);
  if (id != 0) {
    service_.timeKillEvent(id);
    service_.timeEndPeriod(minimum_period_);
  }
  return true;
}

void CDxMTimer::RequestTick() {
  const std::uint32_t id = event_id_.load();
  if (id != 0) service_.timeRequestTick(id);
}

void CDxMTimer::DefaultTimerCallback(std::uint32_t /*id*/, std::uint32_t /*msg*/,
                                     std::uintptr_t user, std::uintptr_t /*dw1*/,
                                     std::uintptr_t /*dw2*/) {
  auto* timer = reinterpret_cast<CDxMTimer*>(user);
  if (timer != nullptr) timer->OnTick();
}

}  // namespace fen
