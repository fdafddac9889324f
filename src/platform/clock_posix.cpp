// The real clock: the system's wall-clock time broken down in UTC.
#include <chrono>
#include <ctime>

#include "platform/clock.h"

namespace fen {

SystemTime UtcNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm parts{};
  SystemTime result;
  if (gmtime_r(&now, &parts) == nullptr) return result;
  result.year = parts.tm_year + 1900;
  result.month = parts.tm_mon + 1;
  result.day = parts.tm_mday;
  result.hour = parts.tm_hour;
  result.minute = parts.tm_min;
  result.second = parts.tm_sec;
  return result;
}

}  // namespace fen
