// The advice after each error box. Whether the flash was touched follows from where each error
// can happen in a run: identity and the device's refusals come before the first erase, the
// time-outs and transfer errors of the flash steps after it.
#include "next_step.h"

#include "engine/string_table.h"

namespace fen {

std::string NextStepHint(int string_id) {
  switch (string_id) {
    case IDS_TIMEOUT_IDENTITY:
      return "Nothing was written. The device did not answer on these ports: check the cable and "
             "the ports (fenupdator-cli identify), then run the update again.";
    case IDS_TIMEOUT_WRITE:
      return "The flash is partly written. Keep the device connected and powered, check the "
             "cable (or try another cable or USB port), and run the update again before "
             "unplugging or using the device.";
    case IDS_TIMEOUT_ERASE:
      return "The flash may be partly erased. Keep the device connected and powered and run the "
             "update again before unplugging or using the device.";
    case IDS_ILLEGAL_DEVICE:
      return "Nothing was written. The ports lead to another device, or the release is for "
             "another model: choose the device's ports, or a release made for its model.";
    case IDS_USE_UPDATE_MODE:
      return "Nothing was written. Put the device into its firmware update mode (see its "
             "manual), then run the update again.";
    case IDS_TRANSFER_ERROR:
      return "The device reported an error it could not recover from; its flash may be partly "
             "written. Run the update again before unplugging or using the device; if it keeps "
             "failing, try another cable or USB port.";
    case IDS_CANT_OPEN_MIDI_IN:
    case IDS_CANT_OPEN_MIDI_OUT:
      return "Nothing was sent. Another program may hold the port, or the device was unplugged: "
             "close other MIDI programs, check fenupdator-cli list, and try again.";
    default:
      return {};
  }
}

}  // namespace fen
