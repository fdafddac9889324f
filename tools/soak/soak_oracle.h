// What a run with a given fault mix must end in: the window's calls (error box, step counter,
// controls), the log lines, and whether the device's flash must hold the images.
#pragma once

#include <string>
#include <vector>

#include "engine/update_result.h"
#include "soak/soak_plan.h"

namespace fen::soak {

using Strings = std::vector<std::string>;

// How a run ends, by what ended it.
enum class EndKind {
  kCompleted,
  kIdentityTimeout,  // 102
  kIllegalDevice,    // 105
  kNotUpdateMode,    // 106
  kBeginRefused,     // 107 after Begin Update
  kEraseTimeout,     // 104
  kEraseErrors,      // 107 after seven erase errors
  kWriteTimeout,     // 103
  kWriteErrors,      // 107 after a seventh failure that is an error status
  kFinishTimeout,    // 107 after Finish Update
  kFinishRefused,    // 107 after Finish Update answered with a failure status
};
inline constexpr int kEndKindCount = 11;
const char* EndKindName(EndKind kind);
// The session's result for an end.
UpdateResult ResultOf(EndKind kind);

struct Expected {
  EndKind kind = EndKind::kCompleted;
  // The view's calls with progress, transmit texts and all but the last of consecutive step
  // counters left out (see SoakView::Outcome).
  Strings outcome;
  Strings log;  // log texts, in order
};

struct Prediction {
  // One entry, or two when a late reply lands too near a time-out to tell which side it falls:
  // the run may then end either way.
  std::vector<Expected> allowed;
  // Where the deciding fault sits, for the report ("block 371", "erase step 6", "begin").
  std::string where;
};

struct OracleTiming {
  int write_wait_ms = 150;
  int retry_pause_ms = 2;
  int erase_wait_ms = 1500;
  // Scheduling delays on a busy machine move when the program's waits end: a late reply this
  // near a time-out may land on either side of it.
  int late_margin_ms = 150;
};

// The outcome the Parts give for the plan, walking the run in order: identification, Begin
// Update, the nine rows block by block, Finish Update.
Prediction Predict(const RunPlan& plan, const OracleTiming& timing);

}  // namespace fen::soak
