// Windows has no per-thread timer slack. The resolution of timed waits follows the system
// timer resolution, which the timer service raises with timeBeginPeriod while an event runs.
#include "platform/spin_wait.h"

namespace fen {

void UsePreciseTimers() {}

}  // namespace fen
