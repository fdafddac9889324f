// The log indices and formatted texts that the worker and the flash steps report with.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/string_table.h"

namespace fen {

inline constexpr int kLogMidiOutError = 0;
inline constexpr int kLogIllegalDevice = 1;
inline constexpr int kLogUseUpdateMode = 2;
inline constexpr int kLogEraseTimeout = 3;
inline constexpr int kLogCrcError = 4;
inline constexpr int kLogFlashWriteError = 5;
inline constexpr int kLogWriteTimeout = 6;

inline std::string FormatText(int string_id, std::int32_t a, std::int32_t b) {
  const std::string format = LoadString(string_id);
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, format.c_str(), a, b);
  return buffer;
}

inline std::string StepCounterText(int step, int total) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%d/%d", step, total);
  return buffer;
}

}  // namespace fen
