// DiagnosticLog: one dated line per failure, appended to "TEST_LOG.txt" in the working
// directory, only when that file already exists.
#pragma once

#include <string>

#include "platform/clock.h"

namespace fen {

inline constexpr int kLogTextCount = 9;
// LogTexts[0..8]: 7 and 8 are this program's own (a refused Finish Update, another program on
// the device's ports), in the style of the others.
extern const char* const LogTexts[kLogTextCount];

class DiagnosticLog {
 public:
  static constexpr const char* kFileName = "TEST_LOG.txt";

  explicit DiagnosticLog(Clock clock = UtcNow);

  // Appends the line of log index `index` (0..6) if logging is on. A file that exists but
  // cannot be appended to is skipped without harm; nothing is ever shown or thrown.
  void operator()(int index) const { Write(index); }
  void Write(int index) const;

  // The line that Write appends for `index` at `time`, with its newline.
  static std::string FormatLine(const SystemTime& time, int index);

 private:
  Clock clock_;
};

}  // namespace fen
