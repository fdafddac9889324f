// The real clock on Windows: GetSystemTime, the system's wall-clock time in UTC.
#include <windows.h>

#include "platform/clock.h"

namespace fen {

SystemTime UtcNow() {
  SYSTEMTIME now{};
  ::GetSystemTime(&now);
  SystemTime result;
  result.year = now.wYear;
  result.month = now.wMonth;
  result.day = now.wDay;
  result.hour = now.wHour;
  result.minute = now.wMinute;
  result.second = now.wSecond;
  return result;
}

}  // namespace fen
