// The log indices that the worker and the flash steps report with.
#pragma once

namespace fen {

inline constexpr int kLogMidiOutError = 0;
inline constexpr int kLogIllegalDevice = 1;
inline constexpr int kLogUseUpdateMode = 2;
inline constexpr int kLogEraseTimeout = 3;
inline constexpr int kLogCrcError = 4;
inline constexpr int kLogFlashWriteError = 5;
inline constexpr int kLogWriteTimeout = 6;
inline constexpr int kLogFinishError = 7;
inline constexpr int kLogOtherHost = 8;

}  // namespace fen
