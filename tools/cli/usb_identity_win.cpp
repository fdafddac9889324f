// The USB device behind a port on Windows: not told yet. The port's device interface (which
// names the USB vendor and product IDs) is reached only through WinMM, which only the WinMM
// backend calls; until that backend hands it out, a record's "usb" is null on Windows.
#include "usb_identity.h"

namespace fen {

std::optional<UsbIdentity> UsbIdentityOfDeviceKey(const std::string&, const std::string&) {
  return std::nullopt;
}

}  // namespace fen
