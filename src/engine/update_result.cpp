// The table of how a run can end: string, log line and exit status of each.
#include "engine/update_result.h"

#include <array>

#include "engine/session_texts.h"
#include "engine/string_table.h"

namespace fen {

namespace {

using R = UpdateResult;
constexpr std::array<UpdateResultInfo, 16> kTable = {{
    {R::kCompleted, "completed", IDS_UPDATE_COMPLETED, -1, kExitCompleted},
    {R::kIdentityTimeout, "identity time-out", IDS_TIMEOUT_IDENTITY, kLogMidiOutError,
     kExitTransfer},
    {R::kIllegalDevice, "illegal device", IDS_ILLEGAL_DEVICE, kLogIllegalDevice, kExitRefused},
    {R::kNotInUpdateMode, "not in update mode", IDS_USE_UPDATE_MODE, kLogUseUpdateMode,
     kExitRefused},
    {R::kBeginRefused, "begin update refused", IDS_TRANSFER_ERROR, -1, kExitTransfer},
    {R::kEraseTimeout, "erase time-out", IDS_TIMEOUT_ERASE, kLogEraseTimeout, kExitTransfer},
    {R::kEraseErrors, "erase errors", IDS_TRANSFER_ERROR, kLogEraseTimeout, kExitTransfer},
    {R::kWriteTimeout, "write time-out", IDS_TIMEOUT_WRITE, kLogWriteTimeout, kExitTransfer},
    {R::kTransferError, "transfer error", IDS_TRANSFER_ERROR, -1, kExitTransfer},
    {R::kFinishUnanswered, "finish update unanswered", IDS_TRANSFER_ERROR, -1, kExitTransfer},
    {R::kOutPortNotOpened, "MIDI OUT port not opened", IDS_CANT_OPEN_MIDI_OUT, kLogMidiOutError,
     kExitPorts},
    {R::kInPortNotOpened, "MIDI IN port not opened", IDS_CANT_OPEN_MIDI_IN, kLogMidiOutError,
     kExitPorts},
    {R::kPortsInUse, "ports in use", IDS_PORTS_IN_USE, -1, kExitPorts},
    {R::kOtherHost, "another program talks to the device", IDS_OTHER_HOST, kLogOtherHost,
     kExitTransfer},
    {R::kFinishRefused, "finish update refused", IDS_TRANSFER_ERROR, kLogFinishError,
     kExitTransfer},
    {R::kAborted, "aborted", 0, -1, kExitInterrupted},
}};

}  // namespace

std::span<const UpdateResultInfo> UpdateResultTable() { return kTable; }

const UpdateResultInfo& InfoOf(UpdateResult result) {
  return kTable[static_cast<std::size_t>(result)];
}

}  // namespace fen
