// The advice after each way a run can fail. Whether the flash was touched follows from where
// the run ended: identity, the device's refusals and Begin Update come before the first erase,
// the erase and write steps change the flash, Finish Update comes after the last block.
#include "next_step.h"

namespace fen {

std::string NextStepHint(UpdateResult result) {
  switch (result) {
    case UpdateResult::kIdentityTimeout:
      return "Nothing was written. The device did not answer on these ports: check the cable and "
             "the ports (fenupdator-cli identify), then run the update again.";
    case UpdateResult::kIllegalDevice:
      return "Nothing was written. The ports lead to another device, or the release is for "
             "another model: choose the device's ports, or a release made for its model.";
    case UpdateResult::kNotInUpdateMode:
      return "Nothing was written. Put the device into its firmware update mode (see its "
             "manual), then run the update again.";
    case UpdateResult::kBeginRefused:
      return "Nothing was written. The device refused to prepare for the update: put it into its "
             "firmware update mode again (see its manual), then run the update again.";
    case UpdateResult::kEraseTimeout:
    case UpdateResult::kEraseErrors:
      return "The flash may be partly erased. Keep the device connected and powered and run the "
             "update again before unplugging or using the device.";
    case UpdateResult::kWriteTimeout:
      return "The flash is partly written. Keep the device connected and powered, check the "
             "cable (or try another cable or USB port), and run the update again before "
             "unplugging or using the device.";
    case UpdateResult::kTransferError:
      return "The device refused a block again and again; its flash is partly written. Run the "
             "update again before unplugging or using the device; if it keeps failing, try "
             "another cable or USB port.";
    case UpdateResult::kFinishUnanswered:
      return "Every block was written and acknowledged, but the device did not confirm the end "
             "of the update. Run the update again before unplugging or using the device.";
    case UpdateResult::kFinishRefused:
      return "Every block was written and acknowledged, but the device reported that the update "
             "failed when it was finished. Run the update again before unplugging or using the "
             "device.";
    case UpdateResult::kOtherHost:
      return "Another program sent to the device during the update, so its flash may hold "
             "blocks of both. Close every other program that uses the device's MIDI ports, then "
             "run the update again before unplugging or using the device.";
    case UpdateResult::kPortsInUse:
      return "Nothing was sent. Another update is running on this device: let it finish, or "
             "close the program named above, then run the update again.";
    case UpdateResult::kOutPortNotOpened:
    case UpdateResult::kInPortNotOpened:
      return "Nothing was sent. Another program may hold the port, or the device was unplugged: "
             "close other MIDI programs, check fenupdator-cli list, and try again.";
    case UpdateResult::kCompleted:
    case UpdateResult::kAborted:
      break;
  }
  return {};
}

}  // namespace fen
