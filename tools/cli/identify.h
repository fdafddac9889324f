// `fenupdator-cli identify`: what the identity probe found, as text or JSON.
#pragma once

#include "engine/identity_probe.h"

namespace fen {

// Prints the devices of the family (and, apart, other answers and echoes); 0 when at least one
// device of the family answered, else `no_device_status`.
int PrintIdentities(const IdentifyResult& result, bool json, int no_device_status);

}  // namespace fen
