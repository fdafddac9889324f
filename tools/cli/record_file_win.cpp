// The record file's local time (localtime_s and the time zone's bias), line end and station on
// Windows.
#include <windows.h>

#include <ctime>

#include "run_events.h"

namespace fen {

std::tm LocalTime(std::time_t t, long* utc_offset_seconds) {
  std::tm local{};
  localtime_s(&local, &t);
  std::tm utc{};
  gmtime_s(&utc, &t);
  utc.tm_isdst = local.tm_isdst;
  *utc_offset_seconds = static_cast<long>(std::difftime(std::mktime(&local), std::mktime(&utc)));
  return local;
}

const char* RecordLineEnd() { return "\r\n"; }

std::string StationName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return {};
  return std::string(name, size);
}

}  // namespace fen
