// Timed waits that end close to their deadline: Linux adds 50 us of slack to every timed wait
// unless a thread asks for less.
#include <sys/prctl.h>

#include "platform/spin_wait.h"

namespace fen {

void UsePreciseTimers() { prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }

}  // namespace fen
