// How an update run ended, as one value: what every front end, the command-line tool and the
// soak's oracle read instead of the texts the window showed.
#pragma once

#include <cstdint>
#include <span>

namespace fen {

enum class UpdateResult : std::uint8_t {
  kCompleted,
  kIdentityTimeout,   // no Identity Reply in time
  kIllegalDevice,     // an error status for the Identity Request, or a model not allowed
  kNotInUpdateMode,   // Begin Update refused with status 11
  kBeginRefused,      // Begin Update refused with another status
  kEraseTimeout,      // an Erase Range went unanswered
  kEraseErrors,       // an Erase Range refused seven times
  kWriteTimeout,      // a Write Block went unanswered seven times, or the device fell silent
  kTransferError,     // a Write Block refused seven times, or an image missing or short
  kFinishUnanswered,  // no answer to Finish Update
  kOutPortNotOpened,  // "Execute": the MIDI OUT port did not open
  kInPortNotOpened,   // "Execute": the MIDI IN port did not open
  kPortsInUse,        // "Execute": another run holds the device's ports; nothing was sent
  kOtherHost,         // the device answered more than was asked: another program talks to it
  kFinishRefused,     // Finish Update answered with a failure status
  kAborted,           // the window closed (or the tool was interrupted) during the run
};

// The command-line tool's exit statuses, every one of them: its manual page and the README
// list exactly these (tests/cli/exit_status_test.cpp).
enum ExitStatus : int {
  kExitCompleted = 0,
  kExitUsage = 2,  // bad arguments, or a firmware release refused
  kExitPorts = 3,
  kExitRefused = 4,
  kExitTransfer = 5,
  kExitInterrupted = 6,
  kExitVerification = 7,
  kExitRecord = 8,  // the update completed, but its line could not be written to --record
};
inline constexpr ExitStatus kExitStatuses[] = {kExitCompleted,    kExitUsage,    kExitPorts,
                                               kExitRefused,      kExitTransfer, kExitInterrupted,
                                               kExitVerification, kExitRecord};

struct UpdateResultInfo {
  UpdateResult result;
  const char* name;  // for reports: "identity time-out"
  int string_id;     // the error box, or the status line when completed; 0: nothing shown
  int log_index;     // the log line written as the run ends; -1: none
  int exit_status;   // the command-line tool's
};

// One row per result, in the order of the enumeration.
std::span<const UpdateResultInfo> UpdateResultTable();
const UpdateResultInfo& InfoOf(UpdateResult result);

}  // namespace fen
