// Appends dated failure lines to "TEST_LOG.txt" in the working directory, only when someone
// has put that file there; the program itself never creates it.
#include "log/diagnostic_log.h"

#include <cstdio>
#include <utility>

#include "log/log_file.h"

namespace fen {

const char* const LogTexts[kLogTextCount] = {
    "Midi out error.",
    "Illegal device connected.",
    "Please use the firmware update mode.",
    "(Erase)Time Out Error.",
    "(CRC)Transfer error occurred.",
    "(Flash Write)Transfer error occurred.",
    "(Write)Time Out Error.",
    "(Finish)Transfer error occurred.",
    "Another program is talking to the device.",
};

DiagnosticLog::DiagnosticLog(Clock clock) : clock_(clock ? std::move(clock) : Clock(UtcNow)) {}

std::string DiagnosticLog::FormatLine(const SystemTime& time, int index) {
  if (index < 0 || index >= kLogTextCount) return {};
  // Wide enough for any int fields, so a line is never cut before its newline.
  char buffer[160] = {};
  // The hour alone is shifted to the device maker's local time, without carry into the date.
  std::snprintf(buffer, sizeof buffer, "%04d/%02d/%02d %02d:%02d:%02d     %s\n", time.year,
                time.month, time.day, time.hour + 9, time.minute, time.second, LogTexts[index]);
  return buffer;
}

void DiagnosticLog::Write(int index) const {
  // Time and text come first so that a call costs the same whether logging is on or not.
  const std::string line = FormatLine(clock_(), index);
  if (line.empty()) return;

  AppendToExistingFile(kFileName, line);
}

}  // namespace fen
