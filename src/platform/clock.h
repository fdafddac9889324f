// Clock seam: the UTC wall-clock time the diagnostic log stamps its lines with.
#pragma once

#include <functional>

namespace fen {

struct SystemTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

using Clock = std::function<SystemTime()>;

// UTC now, from std::chrono.
SystemTime UtcNow();

}  // namespace fen
