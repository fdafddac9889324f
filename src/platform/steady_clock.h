// The monotonic clock that waits, deadlines and latencies are measured on. (Clock, in
// clock.h, is the wall clock that the diagnostic log stamps its lines with.)
#pragma once

#include <chrono>

namespace fen {

using SteadyClock = std::chrono::steady_clock;

}  // namespace fen
