// The record file's local time (localtime_r) and line end on POSIX systems.
#include <ctime>

#include "run_events.h"

namespace fen {

std::tm LocalTime(std::time_t t, long* utc_offset_seconds) {
  std::tm local{};
  localtime_r(&t, &local);
  *utc_offset_seconds = local.tm_gmtoff;
  return local;
}

const char* RecordLineEnd() { return "\n"; }

}  // namespace fen
