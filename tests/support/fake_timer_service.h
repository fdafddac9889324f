// A timer service for tests: records every call, ticks only when told (TickNow, on the caller's
// thread), and can refuse events or the device capabilities.
//
// Use:
//   FakeTimerService timers;
//   CDxMTimer timer(timers);
//   timer.Start(1, &MyCallback, user);
//   timers.TickNow();                              // one tick of every live event
//   EXPECT_EQ(timers.Calls(), (std::vector<std::string>{"timeGetDevCaps()",
//             "timeBeginPeriod(1)", "timeSetEvent(1,1)"}));
//   EXPECT_EQ(timers.Raised(), 1);                 // raises not yet restored
//
// Event ids are 1, 2, 3, ... in the order of starting. Every method is thread-safe; ticks run
// without the service's lock held, so a tick may call back into the service.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/timer_service.h"

namespace fen {

class FakeTimerService : public TimerService {
 public:
  struct Event {
    std::uint32_t id = 0;
    std::uint32_t delay = 0;
    std::uint32_t resolution = 0;
    TimerProc callback = nullptr;
    std::uintptr_t user = 0;
    std::uint32_t flags = 0;
  };

  // The smallest period timeGetDevCaps reports (1 by default).
  void SetPeriodMin(std::uint32_t period);
  // timeGetDevCaps fails from now on.
  void FailDevCaps(bool fail);
  // timeSetEvent returns 0 from now on.
  void RefuseEvents(bool refuse);

  // Calls in order: "timeGetDevCaps()", "timeBeginPeriod(p)", "timeEndPeriod(p)",
  // "timeSetEvent(delay,resolution)", "timeKillEvent(id)", "timeRequestTick(id)".
  std::vector<std::string> Calls() const;
  void ClearCalls();

  // Runs one tick of the event (0: of every live event, in id order) on this thread. Returns
  // the number of ticks run.
  int TickNow(std::uint32_t id = 0);

  // Raises minus restores, over all periods.
  int Raised() const;
  int LiveEvents() const;
  bool IsLive(std::uint32_t id) const;
  // Number of timeRequestTick calls for a live event (0: for any event).
  int RequestedTicks(std::uint32_t id = 0) const;

  MMRESULT timeGetDevCaps(TIMECAPS* caps, std::uint32_t size) override;
  MMRESULT timeBeginPeriod(std::uint32_t period) override;
  MMRESULT timeEndPeriod(std::uint32_t period) override;
  std::uint32_t timeSetEvent(std::uint32_t delay, std::uint32_t resolution, TimerProc callback,
                             std::uintptr_t user, std::uint32_t flags) override;
  MMRESULT timeKillEvent(std::uint32_t id) override;
  void timeRequestTick(std::uint32_t id) override;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::map<std::uint32_t, Event> events_;
  std::map<std::uint32_t, int> requests_;
  std::uint32_t period_min_ = 1;
  bool fail_caps_ = false;
  bool refuse_ = false;
  int raised_ = 0;
  std::uint32_t next_id_ = 1;
};

}  // namespace fen
