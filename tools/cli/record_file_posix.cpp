// The record file's local time (localtime_r), line end and station on POSIX systems.
#include <unistd.h>

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

std::string StationName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace fen
